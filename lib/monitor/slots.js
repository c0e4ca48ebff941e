'use strict';
// The driver's message slots as the monitor shows them: the thirteen CAN
// identifiers that driverStart can enable, their defaults, and the class
// that decides when the driver reports a frame. The add-on holds them.
const facts = require('../facts');

const SLOT_IDS = facts.slots.map((slot) => slot.id);
const DEFAULT_ENABLED = facts.defaults.enabledIds;
const DEFAULT_CYCLIC = facts.defaults.cyclicIds;
const STAT_KEYS = facts.statistics;
// driverStart's delays at load, by the monitor's names for them.
const { i2cDelay, canBusDelay: canDelay, heartbeat: hbDelay, debounce } = facts.defaults;
const DRIVER_DEFAULTS = { i2cDelay, canDelay, hbDelay, debounce };

// cyclic: reported when its data change; debounced (0x200-0x2FF): reported
// when bytes 0-2 change or the debounce window has passed; event: always.
function classOf(id, cyclicIds) {
  if (cyclicIds.includes(id)) return 'cyclic';
  if (id >> 8 === 2) return 'debounced';
  return 'event';
}

const hex = (id) => `0x${id.toString(16)}`;

module.exports = { SLOT_IDS, DEFAULT_ENABLED, DEFAULT_CYCLIC, DRIVER_DEFAULTS, STAT_KEYS, classOf, hex };
