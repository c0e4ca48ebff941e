'use strict';
// How the terminal's table and the browser's page write an age and a delay.
// The page gets these same functions' source (http.js), so both show the
// same texts; they use nothing outside themselves.

// An age in ms as the table shows it; a clock a little ahead shows 0.0s.
function age(ms) {
  if (ms === null) return 'never';
  const s = Math.max(0, ms) / 1000;
  if (s < 10) return `${s.toFixed(1)}s ago`;
  if (s < 120) return `${Math.floor(s)}s ago`;
  const m = Math.floor(s / 60);
  if (m < 120) return `${m}m${String(Math.floor(s % 60)).padStart(2, '0')}s ago`;
  return `${Math.floor(m / 60)}h${String(m % 60).padStart(2, '0')}m ago`;
}

// 5000 -> 5ms, 500000 -> 500ms, 2000000 -> 2s, 1500 -> 1500us
function micros(us) {
  if (us > 0 && us % 1000000 === 0) return `${us / 1000000}s`;
  if (us > 0 && us % 1000 === 0) return `${us / 1000}ms`;
  return `${us}us`;
}

module.exports = { age, micros };
