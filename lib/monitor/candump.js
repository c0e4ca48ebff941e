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
const LOG_FRAME = /^\((\d+)\.(\d+)\)\s+(\S+)\s+([^#\s]*)#(\S*)$/;
const DATA = /^((?:[0-9A-Fa-f]{2}){0,8})(?:_([9A-Fa-f]))?$/;
// Far beyond candump's longest line (a CAN XL frame's 2048 bytes in hex,
// some 4200 characters): what is longer is no candump line.
const LONGEST_LINE = 16384;
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
  'line too long': `longer than ${LONGEST_LINE} bytes, which no candump line is (a damaged or preallocated file?)`,
};

const skip = (reason) => ({ reason });
const hexId = (id, digits) => id.toString(16).toUpperCase().padStart(digits, '0');

// ----------------------------------------------------------------- time

// Seconds and their fraction, in digits (a fraction of any length, cut to
// microseconds) -> whole microseconds, or NaN when that is no time the
// replay can pace by.
function fromDigits(seconds, fraction) {
  const t = Number(seconds) * 1e6 + Number(fraction.length === 6 ? fraction : fraction.slice(0, 6).padEnd(6, '0'));
  return Number.isSafeInteger(t) ? t : NaN;
}

// "1700000000.123456" (absolute or from zero) or "2024-05-01 12:00:00.123456"
// (local time) -> whole microseconds, or NaN.
function micros(stamp) {
  let m = /^(\d+)\.(\d+)$/.exec(stamp);
  if (m) return fromDigits(m[1], m[2]);
  m = /^(\d{4}-\d\d-\d\d) (\d\d:\d\d:\d\d)\.(\d{6})$/.exec(stamp);
  const t = m ? new Date(`${m[1]}T${m[2]}`).getTime() * 1000 + Number(m[3]) : NaN;
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
  const len = f.len;
  const data = f.data;
  let line = `${stamp(f.micros)} ${f.iface} ${f.extended || f.error ? identifier(f) : hexId(f.id, 3)}#`;
  if (f.remote) line += `R${len > 0 ? Math.min(8, len) : ''}`;
  else for (let k = 0, n = Math.min(8, len); k < n; k++) line += HEX[data[at + k]];
  if (len > 8 && len < 16) line += `_${len.toString(16).toUpperCase()}`;
  return line;
}

// --------------------------------------------------------------- reading

// A frame of identifier `text` (3 or 8 hex digits) and no data yet, or
// null when the identifier is none.
function withIdentifier(micros, iface, text) {
  const f = { micros, iface, id: 0, len: 0, data: null, extended: text.length === 8, remote: false, error: false };
  if (!/^(?:[0-9A-Fa-f]{3}|[0-9A-Fa-f]{8})$/.test(text)) return null;
  const n = parseInt(text, 16);
  if (!f.extended && n > 0x7ff) return null;
  f.error = f.extended && (n & ERROR_FLAG) !== 0;
  f.id = f.error ? (n & ~ERROR_FLAG) >>> 0 : n;
  return f;
}

// What follows the # into frame f; f, or a reason.
function withPayload(f, text) {
  if (text.startsWith('#')) return skip('CAN FD frame');
  const r = /^R([0-8])?(?:_([9A-Fa-f]))?$/i.exec(text);
  if (r) {
    if (r[2] !== undefined && r[1] !== '8') return skip('bad data');
    f.remote = true;
    f.len = r[2] !== undefined ? parseInt(r[2], 16) : Number(r[1] || 0);
    f.data = Buffer.alloc(0);
    return f;
  }
  const d = DATA.exec(text.includes('.') ? text.replace(/\./g, '') : text);
  if (!d || (d[2] !== undefined && d[1].length !== 16)) return skip('bad data');
  f.data = Buffer.from(d[1], 'hex');
  f.len = d[2] !== undefined ? parseInt(d[2], 16) : f.data.length;
  return f;
}

// A line of the log format -> a frame or { reason }.
function parse(text) {
  const m = LOG_FRAME.exec(text) || LOG_FRAME.exec(text.trim());
  if (!m) return skip('not a frame');
  const f = withIdentifier(0, m[3], m[4]);
  if (!f) return skip('bad identifier');
  const payload = withPayload(f, m[5]);
  if (payload.reason) return payload;
  f.micros = fromDigits(m[1], m[2]);
  return Number.isNaN(f.micros) ? skip('bad time') : f;
}

// A line of the screen format with times -> a frame or { reason }.
function parseScreen(text) {
  const m = SCREEN_LINE.exec(text);
  if (!m) return skip('not a frame');
  if (m[1] === undefined) return skip('no time');
  const t = micros(m[1]);
  if (Number.isNaN(t)) return skip(/\d/.test(m[1]) ? 'bad time' : 'no time');
  const f = withIdentifier(t, m[2], m[3]);
  if (!f) return skip('bad identifier');
  f.len = Number(m[4]);
  if (/^remote request/.test(m[5])) return Object.assign(f, { data: Buffer.alloc(0), remote: true });
  if (f.len > 8) return skip('CAN FD frame');
  const bytes = m[5].split(/\s+/).slice(0, f.len);
  if (bytes.length !== f.len || !bytes.every((b) => /^[0-9A-Fa-f]{2}$/.test(b))) return skip('bad data');
  f.data = Buffer.from(bytes.join(''), 'hex');
  return f;
}

// The reader for a file whose first line that is neither blank nor a
// comment is `first`: parse, parseScreen, or 'screen without times'.
function readerFor(first) {
  if (first === undefined || LOG_LINE.test(first.trim())) return parse;
  const m = SCREEN_LINE.exec(first);
  if (!m) return parse;
  return m[1] === undefined ? 'screen without times' : parseScreen;
}

module.exports = { format, parse, parseScreen, readerFor, micros, REASONS, LONGEST_LINE };
