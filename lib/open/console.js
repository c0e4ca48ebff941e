'use strict';
// Where the driver's console lines go. The add-on hands whole lines, with
// the level of each (one letter, from the driver's catalogue), to one
// function on the JavaScript thread: by default the writer below, to
// process.stdout; with open()'s console option, the application's function.

const CONSOLE = Symbol.for('corvalith.console');
const LEVELS = { d: 'debug', i: 'info', w: 'warn', e: 'error' };

// What the stream may hold unwritten, the application's own output
// included, before the threads' lines are dropped rather than written.
const BEHIND_BYTES = 64 * 1024;
const noop = () => {};

// Writes to process.stdout as the application sees it now, and as
// console.log does: an error of the stream (a reader that went away: EPIPE)
// comes to nothing rather than an uncaught 'error' event. Lines that
// `mayDrop` are refused (false) while the stream is behind.
function writeStdout(text, levels, mayDrop) {
  const stream = process.stdout;
  if (mayDrop && !(stream.writableLength <= BEHIND_BYTES)) return false;
  const quiet = () => stream.listenerCount('error') === 0 && stream.once('error', noop);
  const added = quiet();
  try {
    stream.write(text, (err) => err && quiet());
  } finally {
    if (added) stream.removeListener('error', noop);
  }
  return true;
}

// The add-on takes the writer from here when a thread first uses it, with
// the exit, at which it writes what the threads queued last, straight out
// when the stream holds nothing unwritten.
globalThis[Symbol.for('corvalith.stdout')] = (atExit) => {
  process.on('exit', () => atExit(process.stdout.writableLength || 0));
  return writeStdout;
};

// The add-on's target for `option` (open()'s console option): 'stdout',
// false, or a function that gets one call per line, without its newline,
// and the line's level. `onThrow` gets what the application's function
// throws.
function consoleTarget(option, onThrow) {
  if (typeof option !== 'function') return option;
  return (text, levels) => {
    text.slice(0, -1).split('\n').forEach((line, i) => {
      try {
        option(line, LEVELS[levels[i]]);
      } catch (e) {
        onThrow(e);
      }
    });
  };
}

function routeConsole(addon, target) {
  addon[CONSOLE](target);
}

module.exports = { consoleTarget, routeConsole };
