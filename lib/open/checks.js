'use strict';
// The checks of open()'s options and of the driver object's arguments. The
// eight functions accept what they always accepted (a typo in enabledIds
// gives a deaf driver, a negative delay no pause); here every such mistake
// is refused with a code before anything reaches the bridge.
const path = require('path');
const { inspect } = require('util');

// The message slots that enabledIds, cyclicIds and read() can name.
const SLOT_IDS = [0x1a1, 0x2a1, 0x3a1, 0x421, 0x4a1, 0x2a2, 0x2c0, 0x2c1, 0x2c4, 0x2c5, 0x2c8, 0x2c9, 0x4e0];
const INT32_MAX = 2147483647;

// The eight functions' defaults, by name.
const DEFAULTS = Object.freeze({
  i2cDelay: 50000,
  canBusDelay: 20000,
  heartbeat: 500000,
  debounce: 2000,
  enabledIds: Object.freeze(SLOT_IDS.filter((id) => id !== 0x421 && id !== 0x4e0)),
  cyclicIds: Object.freeze([0x1a1, 0x3a1]),
  debug: false,
  console: 'stdout',
  logPath: null,
});

const DELAY_UNITS = { i2cDelay: 'µs', canBusDelay: 'µs', heartbeat: 'µs (0: no heartbeat)', debounce: 'ms' };
const COMMAND_FIELDS = ['tft', 'readCfg', 'parameter', 'copLight', 'copLightColor'];

const hex = (id) => `0x${id.toString(16)}`;
const shown = (value) => inspect(value, { depth: 0, breakLength: Infinity, compact: true });
const KNOWN = SLOT_IDS.map(hex).join(', ');

function fail(Type, code, text) {
  const err = new Type(`QEL Driver -- ${text}`);
  err.code = code;
  return err;
}

// Edit distance of two short names, for "did you mean".
function distance(a, b) {
  let row = Array.from({ length: b.length + 1 }, (_, j) => j);
  for (let i = 1; i <= a.length; i++) {
    const next = [i];
    for (let j = 1; j <= b.length; j++) {
      next[j] = Math.min(row[j] + 1, next[j - 1] + 1, row[j - 1] + (a[i - 1].toLowerCase() === b[j - 1].toLowerCase() ? 0 : 1));
    }
    row = next;
  }
  return row[b.length];
}

function unknownName(kind, name, names) {
  const near = names.find((n) => distance(name, n) <= 2);
  const hint = near ? ` (did you mean ${near}?)` : '';
  return fail(TypeError, kind === 'option' ? 'QEL_BAD_OPTION' : 'QEL_BAD_COMMAND',
    `Unknown ${kind} ${shown(name)}${hint}; the ${kind}s are ${names.join(', ')}`);
}

function plainObject(value, what, code) {
  if (value === null || typeof value !== 'object' || Array.isArray(value)) throw fail(TypeError, code, `${what} expects an object, not ${shown(value)}`);
  return value;
}

// An integer from `min` to `max`: a TypeError for no number, a RangeError
// for a number outside (fractions included, which the frame cannot carry).
function integer(value, min, max, code, text) {
  if (typeof value !== 'number') throw fail(TypeError, code, `${text}, not ${shown(value)}`);
  if (!Number.isInteger(value) || value < min || value > max) throw fail(RangeError, code, `${text}, not ${shown(value)}`);
  return value;
}

function slotId(value, where) {
  if (typeof value !== 'number') throw fail(TypeError, 'QEL_UNKNOWN_ID', `${where}: ${shown(value)} is no CAN identifier; the driver knows ${KNOWN}`);
  if (!SLOT_IDS.includes(value)) throw fail(RangeError, 'QEL_UNKNOWN_ID', `${where}: ${shown(value)} (${hex(value)}) is no identifier of the driver's; it knows ${KNOWN}`);
  return value;
}

function idList(value, name) {
  if (!Array.isArray(value)) throw fail(TypeError, 'QEL_BAD_OPTION', `Option ${name} must be an array of CAN identifiers, not ${shown(value)}`);
  return Array.from(value, (id) => slotId(id, `Option ${name}`));
}

function consoleTarget(value) {
  if (value === 'stdout' || value === false || typeof value === 'function') return value;
  throw fail(TypeError, 'QEL_BAD_OPTION', `Option console must be 'stdout', false or a function, not ${shown(value)}`);
}

// The debug log's file, absolute, as start-up names it; the driver takes
// paths of up to 4095 bytes.
function logFile(value) {
  if (typeof value !== 'string' || value === '' || value.includes('\0')) {
    throw fail(TypeError, 'QEL_BAD_OPTION', `Option logPath must be a file path (a non-empty string), not ${shown(value)}`);
  }
  const file = path.resolve(value);
  if (Buffer.byteLength(file) > 4095) throw fail(RangeError, 'QEL_BAD_OPTION', `Option logPath must be at most 4095 bytes long, not ${Buffer.byteLength(file)}`);
  return file;
}

const CHECK_OPTION = {
  i2cDelay: (v, n) => integer(v, 0, INT32_MAX, 'QEL_BAD_OPTION', `Option ${n} must be an integer from 0 to ${INT32_MAX} ${DELAY_UNITS[n]}`),
  enabledIds: idList,
  debug: (v) => {
    if (typeof v !== 'boolean') throw fail(TypeError, 'QEL_BAD_OPTION', `Option debug must be a boolean, not ${shown(v)}`);
    return v;
  },
  console: consoleTarget,
  logPath: logFile,
};
CHECK_OPTION.canBusDelay = CHECK_OPTION.i2cDelay;
CHECK_OPTION.heartbeat = CHECK_OPTION.i2cDelay;
CHECK_OPTION.debounce = CHECK_OPTION.i2cDelay;
CHECK_OPTION.cyclicIds = idList;

// open()'s options, checked, with the defaults filled in. An option given
// as undefined takes its default.
function checkOptions(options = {}) {
  plainObject(options, 'open()', 'QEL_BAD_OPTION');
  const names = Object.keys(DEFAULTS);
  for (const name of Object.keys(options)) if (!names.includes(name)) throw unknownName('option', name, names);
  const settings = {};
  for (const name of names) settings[name] = options[name] === undefined ? DEFAULTS[name] : CHECK_OPTION[name](options[name], name);
  return settings;
}

const byte = (field) => (v) => integer(v, 0, 255, 'QEL_BAD_COMMAND', `${field} must be an integer from 0 to 255`);
function flag(field) {
  return (v) => {
    if (typeof v !== 'boolean') throw fail(TypeError, 'QEL_BAD_COMMAND', `${field} must be a boolean, not ${shown(v)}`);
    return v;
  };
}
const CHECK_FIELD = {
  tft: byte('tft'),
  readCfg: (v) => {
    if (v === 'all' || v === 'one') return v;
    throw fail(typeof v === 'string' ? RangeError : TypeError, 'QEL_BAD_COMMAND', `readCfg must be 'all' or 'one', not ${shown(v)}`);
  },
  parameter: byte('parameter'),
  copLight: flag('copLight'),
  copLightColor: flag('copLightColor'),
};

// send()'s fields as sendCommand's five arguments; -1 where a field is not
// set. The parameter number travels only with a Read CFG of one parameter.
function commandArguments(fields) {
  plainObject(fields, 'send()', 'QEL_BAD_COMMAND');
  for (const name of Object.keys(fields)) if (!COMMAND_FIELDS.includes(name)) throw unknownName('command field', name, COMMAND_FIELDS);
  const f = {};
  for (const name of COMMAND_FIELDS) if (fields[name] !== undefined) f[name] = CHECK_FIELD[name](fields[name]);
  if (f.readCfg === 'one' && f.parameter === undefined) throw fail(RangeError, 'QEL_BAD_COMMAND', 'readCfg \'one\' needs a parameter number from 0 to 255');
  if (f.readCfg !== 'one' && f.parameter !== undefined) throw fail(RangeError, 'QEL_BAD_COMMAND', 'parameter is sent only with readCfg \'one\'');
  const readCfg = { all: 0, one: 1 }[f.readCfg] ?? -1;
  const copLight = f.copLight === undefined ? -1 : Number(f.copLight);
  const args = [f.tft ?? -1, readCfg, copLight, f.copLightColor ? 1 : -1, f.parameter ?? -1];
  // A frame with no field set tells the QEL module nothing: a mistake
  // (a field name held in a variable that was undefined, say), not a send.
  if (args.every((a) => a === -1)) {
    throw fail(TypeError, 'QEL_BAD_COMMAND', `send() sets nothing with ${shown(fields)}; set tft, readCfg, copLight or copLightColor: true`);
  }
  return args;
}

// writeParameter()'s value: up to 7 bytes, as the Buffer the add-on takes.
function parameterValue(bytes) {
  const text = 'The parameter value must be at most 7 bytes: an array of integers from 0 to 255, or a Uint8Array';
  if (!(bytes instanceof Uint8Array) && !Array.isArray(bytes)) throw fail(TypeError, 'QEL_BAD_COMMAND', `${text}, not ${shown(bytes)}`);
  if (bytes.length > 7 || (Array.isArray(bytes) && !bytes.every((b) => Number.isInteger(b) && b >= 0 && b <= 255))) {
    throw fail(RangeError, 'QEL_BAD_COMMAND', `${text}, not ${shown(bytes)}`);
  }
  return Buffer.from(bytes);
}

// What the add-on threw for a fault of the system (a bridge that did not
// come up, a bus write refused, a device missing) as an Error with the same
// text and properties: a TypeError stays for the caller's own mistakes.
function systemFault(e) {
  if (!(e instanceof TypeError) || e.code === 'QEL_BAD_ARGUMENT') return e;
  const err = new Error(e.message);
  for (const key of Object.keys(e)) err[key] = e[key];
  return err;
}

const parameterNumber = (n) => integer(n, 0, 255, 'QEL_BAD_COMMAND', 'The parameter number must be an integer from 0 to 255');

module.exports = { SLOT_IDS, DEFAULTS, fail, systemFault, checkOptions, commandArguments, parameterValue, parameterNumber, slotId };
