'use strict';
// The lines of candump (can-utils), written and read in this one place so
// that --record writes what --replay reads. Two of its formats:
//   the log format (candump -l, -L):  (1700000000.123456) can0 1A1#0102030405060708
//   the screen format with times (candump -ta, -tz, -tA):
//     (1700000000.123456)  can0  1A1   [8]  01 02 03 04 05 06 07 08
// A frame is { micros, iface, id, len, data, extended, remote, error }: a
// standard identifier in three hex digits, an extended one or an error
// frame's class (with the 0x20000000 flag) in eight; the data bytes of the
// length code, where a length code of 9 to 15 keeps 8 bytes and is written
// as the suffix _9 to _F (a larger one keeps 8 bytes without a suffix); a
// remote frame as R and its length code. Reading gives such a frame or
// { reason }, a key of REASONS; a frame always has a valid time.

const HEX = Array.from({ length: 256 }, (_, b) => b.toString(16).toUpperCase().padStart(2, '0'));
const ERROR_FLAG = 0x20000000;
const LOG_LINE = /^\((\d+)\.(\d+)\)\s+(\S+)\s+(\S+)$/;
const SCREEN_LINE = /^\s*(?:\(([^)]*)\)\s+)?(\S+)\s+([0-9A-Fa-f]{3}|[0-9A-Fa-f]{8})\s+\[(\d+)\]\s*(.*)$/;

// What a line that is no frame to replay is, by reason: the summary's
// words, then the detail of a line reported on its own.
const REASONS = {
  'not a frame': 'not a candump log line (expected "(SECONDS.MICROSECONDS) INTERFACE ID#DATA")',
  comment: 'a comment',
  'error frame': 'error frame (identifier with the 0x20000000 flag): the bridge carries data frames only',
  'extended identifier': 'extended (29-bit) identifier: the bridge carries standard identifiers only',
  'remote frame': 'remote frame: not supported',
  'CAN FD frame': 'CAN FD frame: not supported',
  'bad identifier': 'the identifier must be 3 hex digits, at most 7FF',
  'bad data': 'the data must be 0 to 8 bytes as pairs of hex digits',
  'no time': 'no time stamp',
  'bad time': 'the time stamp must be whole seconds and their fraction in digits, e.g. (1700000000.123456)',
};

const skip = (reason) => ({ reason });
const hexId = (id, digits) => id.toString(16).toUpperCase().padStart(digits, '0');

// ----------------------------------------------------------------- time

// "1700000000.123456" (absolute or from zero; a fraction of any length,
// cut to microseconds) or "2024-05-01 12:00:00.123456" (local time) ->
// whole microseconds, or NaN when that is no time the replay can pace by.
function micros(stamp) {
  let t = NaN;
  let m = /^(\d+)\.(\d+)$/.exec(stamp);
  if (m) t = Number(m[1]) * 1e6 + Number(m[2].slice(0, 6).padEnd(6, '0'));
  else if ((m = /^(\d{4}-\d\d-\d\d) (\d\d:\d\d:\d\d)\.(\d{6})$/.exec(stamp))) {
    t = new Date(`${m[1]}T${m[2]}`).getTime() * 1000 + Number(m[3]);
  }
  return Number.isSafeInteger(t) ? t : NaN;
}

function stamp(t) {
  const seconds = Math.floor(t / 1e6);
  return `(${seconds}.${String(t - seconds * 1e6).padStart(6, '0')})`;
}

// --------------------------------------------------------------- writing

function identifier(f) {
  if (f.error) return hexId((f.id | ERROR_FLAG) >>> 0, 8);
  return f.extended ? hexId(f.id, 8) : hexId(f.id, 3);
}

// One frame in the log format, without the line feed. The data may sit
// in a larger buffer, from `at` on.
function format(f, at = 0) {
  const { len, data } = f;
  let line = `${stamp(f.micros)} ${f.iface} ${identifier(f)}#`;
  if (f.remote) line += `R${len > 0 ? Math.min(8, len) : ''}`;
  else for (let k = 0, n = Math.min(8, len); k < n; k++) line += HEX[data[at + k]];
  if (len > 8 && len < 16) line += `_${len.toString(16).toUpperCase()}`;
  return line;
}

// --------------------------------------------------------------- reading

// An identifier of 3 or 8 hex digits -> { id, extended, error }, or null.
function parseIdentifier(text) {
  if (/^[0-9A-Fa-f]{8}$/.test(text)) {
    const n = parseInt(text, 16);
    return (n & ERROR_FLAG) !== 0 ? { id: (n & ~ERROR_FLAG) >>> 0, extended: true, error: true } : { id: n, extended: true, error: false };
  }
  if (!/^[0-9A-Fa-f]{3}$/.test(text) || parseInt(text, 16) > 0x7ff) return null;
  return { id: parseInt(text, 16), extended: false, error: false };
}

// What follows the # -> { len, data, remote }, or a reason.
function parsePayload(text) {
  if (text.startsWith('#')) return skip('CAN FD frame');
  const r = /^R([0-8])?(?:_([9A-Fa-f]))?$/i.exec(text);
  if (r) {
    const len = r[2] !== undefined ? parseInt(r[2], 16) : Number(r[1] || 0);
    return r[2] !== undefined && r[1] !== '8' ? skip('bad data') : { len, data: Buffer.alloc(0), remote: true };
  }
  const d = /^((?:[0-9A-Fa-f]{2}){0,8})(?:_([9A-Fa-f]))?$/.exec(text.replace(/\./g, ''));
  if (!d || (d[2] !== undefined && d[1].length !== 16)) return skip('bad data');
  const data = Buffer.from(d[1], 'hex');
  return { len: d[2] !== undefined ? parseInt(d[2], 16) : data.length, data, remote: false };
}

// A line of the log format -> a frame or { reason }.
function parse(text) {
  const m = LOG_LINE.exec(text.trim());
  if (!m) return skip('not a frame');
  const f = /^([^#]*)#(.*)$/.exec(m[4]);
  if (!f) return skip('not a frame');
  const id = parseIdentifier(f[1]);
  if (!id) return skip('bad identifier');
  const payload = parsePayload(f[2]);
  if (payload.reason) return payload;
  const t = micros(`${m[1]}.${m[2]}`);
  if (Number.isNaN(t)) return skip('bad time');
  return { micros: t, iface: m[3], ...id, ...payload };
}

// A line of the screen format with times -> a frame or { reason }.
function parseScreen(text) {
  const m = SCREEN_LINE.exec(text);
  if (!m) return skip('not a frame');
  if (m[1] === undefined) return skip('no time');
  const t = micros(m[1]);
  if (Number.isNaN(t)) return skip(/\d/.test(m[1]) ? 'bad time' : 'no time');
  const id = parseIdentifier(m[3]);
  if (!id) return skip('bad identifier');
  const len = Number(m[4]);
  if (/^remote request/.test(m[5])) return { micros: t, iface: m[2], ...id, len, data: Buffer.alloc(0), remote: true };
  if (len > 8) return skip('CAN FD frame');
  const bytes = m[5].split(/\s+/).slice(0, len);
  if (bytes.length !== len || !bytes.every((b) => /^[0-9A-Fa-f]{2}$/.test(b))) return skip('bad data');
  return { micros: t, iface: m[2], ...id, len, data: Buffer.from(bytes.join(''), 'hex'), remote: false };
}

// The reader for a file whose first line that is neither blank nor a
// comment is `first`: parse, parseScreen, or 'screen without times'.
function readerFor(first) {
  if (first === undefined || LOG_LINE.test(first.trim())) return parse;
  const m = SCREEN_LINE.exec(first);
  if (!m) return parse;
  return m[1] === undefined ? 'screen without times' : parseScreen;
}

module.exports = { format, parse, parseScreen, readerFor, micros, REASONS };
