'use strict';
// The checks of open()'s options and of the driver object's arguments. The
// eight functions accept what they always accepted (a typo in enabledIds
// gives a deaf driver, a negative delay no pause); here every such mistake
// is refused with a code before anything reaches the bridge.
const path = require('path');
const { inspect } = require('util');
const facts = require('../facts');

const { codes: CODES } = facts;
const START_RULES = facts.arguments.driverStart;
const COMMAND_RULES = facts.arguments.sendCommand;
const [NUMBER_RULE, VALUE_RULE] = facts.arguments.writeParameter;

// The message slots that enabledIds, cyclicIds and read() can name.
const SLOT_IDS = Object.freeze(facts.slots.map((slot) => slot.id));

// The eight functions' defaults, by name, and open()'s own.
const DEFAULTS = Object.freeze({ ...facts.defaults, console: 'stdout', logPath: null });

// How send() spells the fields that are no number: Read CFG by the name of
// its value, the COP Light bits as booleans.
const CHOICES = { readCfg: ['all', 'one'] };
const FLAGS = ['copLight', 'copLightColor'];

// send()'s fields: sendCommand's arguments, a field that only acts with
// another one's value right after that one.
const COMMAND_FIELDS = COMMAND_RULES.flatMap((rule, position) => (rule.needs ? [] :
  [rule, ...COMMAND_RULES.filter((r) => r.needs && r.needs.position === position)])).map((rule) => rule.name);

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
  return fail(TypeError, kind === 'option' ? CODES.BAD_OPTION : CODES.BAD_COMMAND,
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
  if (typeof value !== 'number') throw fail(TypeError, CODES.UNKNOWN_ID, `${where}: ${shown(value)} is no CAN identifier; the driver knows ${KNOWN}`);
  if (!SLOT_IDS.includes(value)) throw fail(RangeError, CODES.UNKNOWN_ID, `${where}: ${shown(value)} (${hex(value)}) is no identifier of the driver's; it knows ${KNOWN}`);
  return value;
}

function idList(value, name) {
  if (!Array.isArray(value)) throw fail(TypeError, CODES.BAD_OPTION, `Option ${name} must be an array of CAN identifiers, not ${shown(value)}`);
  return Array.from(value, (id) => slotId(id, `Option ${name}`));
}

function consoleTarget(value) {
  if (value === 'stdout' || value === false || typeof value === 'function') return value;
  throw fail(TypeError, CODES.BAD_OPTION, `Option console must be 'stdout', false or a function, not ${shown(value)}`);
}

// The debug log's file, absolute, as start-up names it; the driver takes
// paths of up to 4095 bytes.
function logFile(value) {
  if (typeof value !== 'string' || value === '' || value.includes('\0')) {
    throw fail(TypeError, CODES.BAD_OPTION, `Option logPath must be a file path (a non-empty string), not ${shown(value)}`);
  }
  const file = path.resolve(value);
  if (Buffer.byteLength(file) > 4095) throw fail(RangeError, CODES.BAD_OPTION, `Option logPath must be at most 4095 bytes long, not ${Buffer.byteLength(file)}`);
  return file;
}

function boolean(value, text, code) {
  if (typeof value !== 'boolean') throw fail(TypeError, code, `${text} must be a boolean, not ${shown(value)}`);
  return value;
}

// driverStart's arguments by their rules, then open()'s own options.
const CHECK_BY_KIND = {
  integer: (rule) => (v) => integer(v, rule.min, rule.max, CODES.BAD_OPTION, `Option ${rule.name} must be an integer from ${rule.min} to ${rule.max} ${rule.unit}`),
  identifiers: (rule) => (v) => idList(v, rule.name),
  boolean: (rule) => (v) => boolean(v, `Option ${rule.name}`, CODES.BAD_OPTION),
};
const CHECK_OPTION = Object.fromEntries(START_RULES.map((rule) => [rule.name, CHECK_BY_KIND[rule.kind](rule)]));
CHECK_OPTION.console = consoleTarget;
CHECK_OPTION.logPath = logFile;

// open()'s options, checked, with the defaults filled in. An option given
// as undefined takes its default.
function checkOptions(options = {}) {
  plainObject(options, 'open()', CODES.BAD_OPTION);
  const names = Object.keys(DEFAULTS);
  for (const name of Object.keys(options)) if (!names.includes(name)) throw unknownName('option', name, names);
  const settings = {};
  for (const name of names) settings[name] = options[name] === undefined ? DEFAULTS[name] : CHECK_OPTION[name](options[name], name);
  return settings;
}

// send()'s field of a rule: a choice by name, a flag, or an integer.
function fieldCheck(rule) {
  const { name } = rule;
  if (CHOICES[name]) {
    return (v) => {
      if (CHOICES[name].includes(v)) return v;
      const names = CHOICES[name].map((c) => `'${c}'`).join(' or ');
      throw fail(typeof v === 'string' ? RangeError : TypeError, CODES.BAD_COMMAND, `${name} must be ${names}, not ${shown(v)}`);
    };
  }
  if (FLAGS.includes(name)) return (v) => boolean(v, name, CODES.BAD_COMMAND);
  return (v) => integer(v, rule.min, rule.max, CODES.BAD_COMMAND, `${name} must be an integer from ${rule.min} to ${rule.max}`);
}
const CHECK_FIELD = Object.fromEntries(COMMAND_RULES.map((rule) => [rule.name, fieldCheck(rule)]));

// The argument a checked field gives: a choice's value counts from the
// rule's least; a flag's true is its greatest and false its least, unless
// only one value acts, when false leaves the field not set (-1).
function argumentOf(rule, value) {
  if (CHOICES[rule.name]) return rule.min + CHOICES[rule.name].indexOf(value);
  if (typeof value === 'boolean') return value ? rule.max : (rule.min < rule.max ? rule.min : -1);
  return value;
}

// How send() names the value of another field that a field acts with.
function dependency(rule) {
  const owner = COMMAND_RULES[rule.needs.position];
  return `${owner.name} '${CHOICES[owner.name][rule.needs.value - owner.min]}'`;
}

// send()'s fields in the order they are checked, each with its argument's
// position; the fields that act only with another's value, with their
// refusals. All made once: a send that passes builds no text.
const FIELD_ORDER = COMMAND_FIELDS.map((name) => {
  const position = COMMAND_RULES.findIndex((rule) => rule.name === name);
  return { name, position, rule: COMMAND_RULES[position], check: CHECK_FIELD[name] };
});
const FIELD_NAMES = new Set(COMMAND_FIELDS);
const NOT_SET = COMMAND_RULES.map(() => -1);
const notSet = (a) => a === -1;
const DEPENDENT = COMMAND_RULES.flatMap((rule, position) => (rule.needs ? [{
  position,
  owner: rule.needs.position,
  value: rule.needs.value,
  missing: `${dependency(rule)} needs a ${rule.name} number from ${rule.min} to ${rule.max}`,
  alone: `${rule.name} is sent only with ${dependency(rule)}`,
}] : []));

// What send() with nothing set is told to set: the fields that act on
// their own, a flag by the value that acts.
const SETTABLE = COMMAND_RULES.filter((rule) => !rule.needs)
  .map((rule) => (FLAGS.includes(rule.name) && rule.min === rule.max ? `${rule.name}: true` : rule.name));
const SET_HINT = `${SETTABLE.slice(0, -1).join(', ')} or ${SETTABLE[SETTABLE.length - 1]}`;

// send()'s fields as sendCommand's arguments; -1 where a field is not
// set. The parameter number travels only with a Read CFG of one parameter.
function commandArguments(fields) {
  plainObject(fields, 'send()', CODES.BAD_COMMAND);
  for (const name of Object.keys(fields)) if (!FIELD_NAMES.has(name)) throw unknownName('command field', name, COMMAND_FIELDS);
  const args = NOT_SET.slice();
  let given = 0;
  for (const field of FIELD_ORDER) {
    if (fields[field.name] === undefined) continue;
    args[field.position] = argumentOf(field.rule, field.check(fields[field.name]));
    given |= 1 << field.position;
  }
  for (const d of DEPENDENT) {
    const acts = args[d.owner] === d.value;
    const set = (given & (1 << d.position)) !== 0;
    if (acts && !set) throw fail(RangeError, CODES.BAD_COMMAND, d.missing);
    if (!acts && set) throw fail(RangeError, CODES.BAD_COMMAND, d.alone);
  }
  // A frame with no field set tells the QEL module nothing: a mistake
  // (a field name held in a variable that was undefined, say), not a send.
  if (args.every(notSet)) {
    throw fail(TypeError, CODES.BAD_COMMAND, `send() sets nothing with ${shown(fields)}; set ${SET_HINT}`);
  }
  return args;
}

// writeParameter()'s value: up to 7 bytes, as the Buffer the add-on takes.
const VALUE_TEXT = `The ${NUMBER_RULE.name} ${VALUE_RULE.name} must be at most ${VALUE_RULE.max} bytes: an array of integers from 0 to 255, or a Uint8Array`;
const isByte = (b) => Number.isInteger(b) && b >= 0 && b <= 255;

function parameterValue(bytes) {
  if (!(bytes instanceof Uint8Array) && !Array.isArray(bytes)) throw fail(TypeError, CODES.BAD_COMMAND, `${VALUE_TEXT}, not ${shown(bytes)}`);
  if (bytes.length > VALUE_RULE.max || (Array.isArray(bytes) && !bytes.every(isByte))) {
    throw fail(RangeError, CODES.BAD_COMMAND, `${VALUE_TEXT}, not ${shown(bytes)}`);
  }
  return Buffer.from(bytes);
}

// What the add-on threw for a fault of the system (a bridge that did not
// come up, a bus write refused, a device missing) as an Error with the same
// text and properties: a TypeError stays for the caller's own mistakes.
function systemFault(e) {
  if (!(e instanceof TypeError) || e.code === CODES.BAD_ARGUMENT) return e;
  const err = new Error(e.message);
  for (const key of Object.keys(e)) err[key] = e[key];
  return err;
}

const parameterNumber = (n) => integer(n, NUMBER_RULE.min, NUMBER_RULE.max, CODES.BAD_COMMAND,
  `The ${NUMBER_RULE.name} number must be an integer from ${NUMBER_RULE.min} to ${NUMBER_RULE.max}`);

module.exports = { SLOT_IDS, DEFAULTS, fail, systemFault, checkOptions, commandArguments, parameterValue, parameterNumber, slotId };
