'use strict';
// Where the driver's console lines go while a driver object is open: the
// add-on hands whole lines to a function on the JavaScript thread, never
// from a driver thread nor under the bus lock; this splits them and gives
// each the level an application's logger wants.

const CONSOLE = Symbol.for('corvalith.console');

// The per-frame dumps of debug mode, then the lines that report a fault,
// then the ones that say something was lost; the rest is information.
const LEVELS = [
  ['debug', /received message with ID|Checksum = |sending command with ID|writing a parameter with MSG ID|debouncing$/],
  ['error', /Error|error|failed|exception|[Cc]annot|could not|does not exist|permission denied|not supported|Not a Raspberry Pi/],
  ['warn', /dropped|lost|cut:|stopped:/],
];

function levelOf(line) {
  const found = LEVELS.find(([, pattern]) => pattern.test(line));
  return found ? found[0] : 'info';
}

// The add-on's target for `option` (open()'s console option): 'stdout',
// false, or a function that gets one call per line, without its newline.
// `onThrow` gets what the application's function throws.
function consoleTarget(option, onThrow) {
  if (typeof option !== 'function') return option;
  return (text) => {
    const lines = text.split('\n');
    if (lines[lines.length - 1] === '') lines.pop();
    for (const line of lines) {
      try {
        option(line, levelOf(line));
      } catch (e) {
        onThrow(e);
      }
    }
  };
}

function routeConsole(addon, target) {
  addon[CONSOLE](target);
}

module.exports = { consoleTarget, routeConsole, levelOf };
