'use strict';
// open(): the driver as Node programs use a device, beside the eight
// functions. One driver object at a time in a process, since the bus is
// one; it holds the driver from open() to close().
const { Bus, DELIVER, FAULT } = require('./open/bus');
const { SLOT_IDS, fail, checkOptions } = require('./open/checks');
const { consoleTarget, routeConsole } = require('./open/console');

// Shared by every flavour and by a copy loaded after the module cache was
// cleared.
const OPEN = Symbol.for('corvalith.open');
const slot = () => (globalThis[OPEN] ??= { bus: null });

// A driver that the application started with driverStart is its own: open()
// does not take it over (registering its function would silence the
// application's). readStatus answers only while the driver runs.
function refuseStarted(addon) {
  try {
    addon.readStatus(SLOT_IDS[0]);
  } catch (e) {
    if (e.code === 'QEL_NOT_STARTED') return;
    throw e;
  }
  throw fail(Error, 'QEL_ALREADY_STARTED', 'The driver was started with driverStart; stop it with driverStop before open()');
}

// The option logPath names the file of this start only: a later
// driverStart takes the flavour's own again.
const LOG_PATH = Symbol.for('corvalith.logPath');

function start(addon, s, bus) {
  routeConsole(addon, consoleTarget(s.console, (e) => bus[FAULT](e)));
  addon.registerCallback((status) => bus[DELIVER](status));
  try {
    addon[LOG_PATH](s.logPath);
    addon.driverStart(s.i2cDelay, s.canBusDelay, s.heartbeat, s.debounce, [...s.enabledIds], [...s.cyclicIds], s.debug);
  } catch (e) {
    routeConsole(addon, 'stdout');
    throw e;
  } finally {
    addon[LOG_PATH](null);
  }
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
      if (place.bus === bus) place.bus = null;
    });
    start(addon, settings, bus);
    place.bus = bus;
    return bus;
  };
};
