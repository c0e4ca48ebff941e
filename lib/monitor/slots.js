'use strict';
// The driver's message slots as the monitor shows them: the thirteen CAN
// identifiers that driverStart can enable, their defaults, and the class
// that decides when the driver reports a frame.

const SLOT_IDS = [0x1a1, 0x2a1, 0x3a1, 0x421, 0x4a1, 0x2a2, 0x2c0, 0x2c1, 0x2c4, 0x2c5, 0x2c8, 0x2c9, 0x4e0];
const DEFAULT_ENABLED = SLOT_IDS.filter((id) => id !== 0x421 && id !== 0x4e0);
const DEFAULT_CYCLIC = [0x1a1, 0x3a1];
const STAT_KEYS = ['hb', 'unk', 'empty', 'err'];

// cyclic: reported when its data change; debounced (0x200-0x2FF): reported
// when bytes 0-2 change or the debounce window has passed; event: always.
function classOf(id, cyclicIds) {
  if (cyclicIds.includes(id)) return 'cyclic';
  if (id >> 8 === 2) return 'debounced';
  return 'event';
}

const hex = (id) => `0x${id.toString(16)}`;

module.exports = { SLOT_IDS, DEFAULT_ENABLED, DEFAULT_CYCLIC, STAT_KEYS, classOf, hex };
