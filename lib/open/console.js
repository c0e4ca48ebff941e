'use strict';
// Where the driver's console lines go while a driver object is open: the
// add-on hands whole lines to a function on the JavaScript thread, never
// from a driver thread nor under the bus lock; this splits them and gives
// each the level an application's logger wants.

const CONSOLE = Symbol.for('corvalith.console');

// The add-on gives each line's level as one letter, taken from the
// message's entry in the driver's catalogue.
const LEVELS = { d: 'debug', i: 'info', w: 'warn', e: 'error' };

// The add-on's target for `option` (open()'s console option): 'stdout',
// false, or a function that gets one call per line, without its newline.
// `onThrow` gets what the application's function throws.
function consoleTarget(option, onThrow) {
  if (typeof option !== 'function') return option;
  return (text, levels) => {
    const lines = text.split('\n');
    if (lines[lines.length - 1] === '') lines.pop();
    lines.forEach((line, i) => {
      try {
        option(line, LEVELS[levels[i]] || 'info');
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
