'use strict';
// Replaying a capture in the candump log format of can-utils:
//   (1700000000.123456) can0 1A1#0102030405060708
// one frame per line. Standard (11-bit) data frames of 0 to 8 bytes are
// replayed; extended identifiers, remote frames, CAN FD frames and anything
// else are reported with their line number and skipped. Blank lines are
// ignored.
const { frame } = require('./frames');

const LINE = /^\((\d+)\.(\d+)\)\s+(\S+)\s+(\S+)$/;

function parseLine(text) {
  const m = LINE.exec(text.trim());
  if (!m) return { error: 'not a candump log line (expected "(SECONDS.MICROSECONDS) INTERFACE ID#DATA")' };
  const micros = Number(m[1]) * 1e6 + Number(m[2].slice(0, 6).padEnd(6, '0'));
  const body = m[4];
  if (body.includes('##')) return { error: 'CAN FD frame: not supported' };
  const f = /^([^#]*)#(.*)$/.exec(body);
  if (!f) return { error: 'no ID#DATA frame after the interface' };
  if (/^[0-9A-Fa-f]{8}$/.test(f[1])) return { error: 'extended (29-bit) identifier: the bridge carries standard identifiers only' };
  if (!/^[0-9A-Fa-f]{3}$/.test(f[1])) return { error: 'the identifier must be 3 hex digits' };
  const id = parseInt(f[1], 16);
  if (id > 0x7ff) return { error: 'identifier above 0x7ff' };
  if (/^R\d*$/i.test(f[2])) return { error: 'remote frame: not supported' };
  if (!/^(?:[0-9A-Fa-f]{2}){0,8}$/.test(f[2])) return { error: 'the data must be 0 to 8 bytes as pairs of hex digits' };
  const data = Buffer.from(f[2], 'hex');
  return { micros, id, data };
}

// -> { frames: [{ line, micros, id, data }], skipped: [{ line, reason, text }] }
function parseCapture(text) {
  const frames = [];
  const skipped = [];
  const lines = text.split('\n');
  if (lines.length && lines[lines.length - 1] === '') lines.pop();
  lines.forEach((raw, i) => {
    const line = raw.replace(/\r$/, '');
    if (line.trim() === '') return;
    const r = parseLine(line);
    if (r.error) skipped.push({ line: i + 1, reason: r.error, text: line });
    else frames.push({ line: i + 1, micros: r.micros, id: r.id, data: r.data });
  });
  return { frames, skipped };
}

function describeSkipped(file, s) {
  const shown = s.text.length > 60 ? `${s.text.slice(0, 57)}...` : s.text;
  return `qel-monitor: ${file} line ${s.line}: ${s.reason}; skipped: ${JSON.stringify(shown)}`;
}

// Feeds the frames at their recorded pace, relative to the first one; a
// frame stamped earlier than the one before it goes out at once. The
// bridge queues what the driver has not polled yet, so nothing is lost.
function play(frames, feed, { onProgress = () => {}, onDone = () => {} } = {}) {
  let i = 0;
  let timer = null;
  if (frames.length === 0) {
    setImmediate(onDone);
    return { stop() {} };
  }
  const t0 = frames[0].micros;
  const start = performance.now();
  const step = () => {
    timer = null;
    const elapsed = performance.now() - start;
    while (i < frames.length && (frames[i].micros - t0) / 1000 <= elapsed) {
      const f = frames[i++];
      feed(frame(f.id, f.data));
    }
    onProgress(i);
    if (i >= frames.length) return onDone();
    timer = setTimeout(step, Math.max(0, (frames[i].micros - t0) / 1000 - elapsed));
  };
  step();
  return { stop() { if (timer) clearTimeout(timer); } };
}

module.exports = { parseLine, parseCapture, describeSkipped, play };
