'use strict';
// setTimeout takes at most 2^31 - 1 ms (24.8 days) and fires at once for
// more, with a warning: a longer wait is a chain of shorter ones.
const LONGEST = 2 ** 31 - 1;

// Calls fn after `ms`; returns { clear() }.
function after(ms, fn) {
  const handle = { timer: null, clear() { clearTimeout(handle.timer); } };
  const arm = (left) => {
    handle.timer = left > LONGEST ? setTimeout(() => arm(left - LONGEST), LONGEST) : setTimeout(fn, left);
  };
  arm(ms);
  return handle;
}

module.exports = { after };
