'use strict';
// open(): the driver as Node programs use a device, beside the eight
// functions. One driver object at a time in a process, since the bus is
// one; it holds the driver from open() to close().
const { Bus, DELIVER, FAULT, LINK, OPENED } = require('./open/bus');
const { SLOT_IDS, fail, systemFault, checkOptions } = require('./open/checks');
const { consoleTarget, routeConsole } = require('./open/console');

// Shared by every flavour and by a copy loaded after the module cache was
// cleared.
const OPEN = Symbol.for('corvalith.open');
// Where the add-on tells that the bridge stopped answering or answers again.
const LINK_TARGET = Symbol.for('corvalith.link');
const slot = () => (globalThis[OPEN] ??= { bus: null });

// A driver that the application started with driverStart is its own: open()
// does not take it over (registering its function would silence the
// application's). readStatus answers only while the driver runs.
function refuseStarted(addon) {
  try {
    addon.readStatus(SLOT_IDS[0]);
  } catch (e) {
    if (e.code === 'QEL_NOT_STARTED') return;
    throw systemFault(e);
  }
  throw fail(Error, 'QEL_ALREADY_STARTED', 'The driver was started with driverStart; stop it with driverStop before open()');
}

// A start that failed says why in its message, not only in `reason` (the
// console line that tells it), and is an Error: nothing the caller passed
// was wrong.
function startFault(e) {
  const err = systemFault(e);
  const why = typeof e.reason === 'string' ? e.reason.replace(/^QEL Driver -- /, '') : '';
  if (why) err.message = `${e.message}: ${why}`;
  return err;
}

// The option logPath names the file of this start only: a later
// driverStart takes the flavour's own again.
const LOG_PATH = Symbol.for('corvalith.logPath');

function start(addon, s, bus) {
  routeConsole(addon, consoleTarget(s.console, (e) => bus[FAULT](e)));
  addon.registerCallback((status) => bus[DELIVER](status));
  addon[LINK_TARGET]((answering, failed) => bus[LINK](answering, failed));
  try {
    addon[LOG_PATH](s.logPath);
    addon.driverStart(s.i2cDelay, s.canBusDelay, s.heartbeat, s.debounce, [...s.enabledIds], [...s.cyclicIds], s.debug);
  } catch (e) {
    routeConsole(addon, 'stdout');
    addon[LINK_TARGET](null);
    bus[OPENED](false);
    throw startFault(e);
  } finally {
    addon[LOG_PATH](null);
  }
  bus[OPENED](true);
}

// The open() of one flavour's add-on.
module.exports = function makeOpen(addon) {
  return function open(options) {
    const settings = checkOptions(options);
    const place = slot();
    if (place.bus) throw fail(Error, 'QEL_ALREADY_OPEN', 'The driver is already open in this process; close it first');
    refuseStarted(addon);
    const bus = new Bus(addon, () => {
      routeConsole(addon, 'stdout');
      addon[LINK_TARGET](null);
      if (place.bus === bus) place.bus = null;
    });
    start(addon, settings, bus);
    place.bus = bus;
    return bus;
  };
};
