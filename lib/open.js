'use strict';
// open(): the driver as Node programs use a device, beside the eight
// functions. One driver object at a time in a process, since the bus is
// one; it holds the driver from open() to close().
//
// The two faces drive one add-on, so each knows of the other: driverStart,
// driverStop and registerCallback are wrapped here. open() refuses a driver
// that the application started; driverStop() closes an open driver object
// as close() does; registerCallback() while one is open is refused, as it
// would silently take the object's status objects.
const { Bus, DELIVER, FAULT, LINK, OPENED, HALT, SENT } = require('./open/bus');
const { fail, systemFault, checkOptions } = require('./open/checks');
const { consoleTarget, routeConsole } = require('./open/console');

// Shared by every flavour and by a copy loaded after the module cache was
// cleared.
const OPEN = Symbol.for('corvalith.open');
// Where the add-on tells that the bridge stopped answering or answers again.
const LINK_TARGET = Symbol.for('corvalith.link');
// Where it tells which of send()'s and writeParameter()'s frames it wrote.
const TRANSMITTED = Symbol.for('corvalith.transmitted');
// The add-on's own functions, kept on it once: a copy of this file loaded
// after the module cache was cleared finds them, and wraps nothing twice.
const RAW = Symbol.for('corvalith.raw');
const slot = () => (globalThis[OPEN] ??= { bus: null, addon: null });

// Whether `addon`'s driver object is the one open.
const openOn = (addon) => (slot().addon === addon ? slot().bus : null);

// The add-on has no question "does the driver run?" that answers without
// an exception, so the wrapped driverStart and driverStop keep the answer
// for a driver the application started: `raw.started`.
function wrapFaces(addon) {
  if (Object.hasOwn(addon, RAW)) return addon[RAW];
  const raw = { driverStart: addon.driverStart, driverStop: addon.driverStop, registerCallback: addon.registerCallback, started: false };
  Object.defineProperty(addon, RAW, { value: raw });
  addon.driverStart = function driverStart(...args) {
    raw.driverStart(...args);
    raw.started = true;
  };
  addon.driverStop = function driverStop(...args) {
    const bus = openOn(addon);
    if (bus) return stopBus(bus);
    raw.driverStop(...args);
    raw.started = false;
    return undefined;
  };
  addon.registerCallback = function registerCallback(...args) {
    if (openOn(addon)) {
      throw fail(Error, 'QEL_BUS_OPEN', 'The driver is open as an object (open()): its status objects are its \'status\' events; listen there, or close() it before registerCallback');
    }
    return raw.registerCallback(...args);
  };
  return raw;
}

// driverStop() on a driver object: close() at once, 'close' and the end of
// its loops to follow. A stop that failed is thrown here, where it was
// asked for, rather than as the rejection of a promise nobody holds.
function stopBus(bus) {
  const failure = bus[HALT]();
  if (failure) {
    bus.close().catch(() => {});
    throw failure;
  }
  return undefined;
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

function start(addon, raw, s, bus) {
  routeConsole(addon, consoleTarget(s.console, (e) => bus[FAULT](e)));
  raw.registerCallback((status) => bus[DELIVER](status));
  addon[LINK_TARGET]((answering, failed) => bus[LINK](answering, failed));
  addon[TRANSMITTED]((ticket, busCode, errno, count) => bus[SENT](ticket, busCode, errno, count));
  try {
    addon[LOG_PATH](s.logPath);
    raw.driverStart(s.i2cDelay, s.canBusDelay, s.heartbeat, s.debounce, [...s.enabledIds], [...s.cyclicIds], s.debug);
  } catch (e) {
    routeConsole(addon, 'stdout');
    addon[LINK_TARGET](null);
    addon[TRANSMITTED](null);
    bus[OPENED](false);
    throw startFault(e);
  } finally {
    addon[LOG_PATH](null);
  }
  bus[OPENED](true);
}

// The open() of one flavour's add-on.
module.exports = function makeOpen(addon) {
  const raw = wrapFaces(addon);
  return function open(options) {
    const settings = checkOptions(options);
    const place = slot();
    if (place.bus) throw fail(Error, 'QEL_ALREADY_OPEN', 'The driver is already open in this process; close it first');
    // A driver that the application started with driverStart is its own:
    // open() does not take it over (registering its function would
    // silence the application's).
    if (raw.started) throw fail(Error, 'QEL_ALREADY_STARTED', 'The driver was started with driverStart; stop it with driverStop before open()');
    // The object stops the driver with the add-on's own driverStop.
    const bus = new Bus(Object.create(addon, { driverStop: { value: raw.driverStop } }), () => {
      routeConsole(addon, 'stdout');
      addon[LINK_TARGET](null);
      addon[TRANSMITTED](null);
      if (place.bus === bus) {
        place.bus = null;
        place.addon = null;
      }
    });
    start(addon, raw, settings, bus);
    place.bus = bus;
    place.addon = addon;
    return bus;
  };
};
