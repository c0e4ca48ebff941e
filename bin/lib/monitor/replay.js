'use strict';
// Replaying a capture written by candump of can-utils. Two of its formats:
//   the log format (candump -l, -L):  (1700000000.123456) can0 1A1#0102030405060708
//   the screen format with times (candump -ta, -tz, -tA):
//     (1700000000.123456)  can0  1A1   [8]  01 02 03 04 05 06 07 08
// one frame per line. Standard (11-bit) data frames of 0 to 8 bytes are
// replayed, an 8-byte frame with candump's length code suffix (_9 to _F)
// with that length code. Extended identifiers, error frames, remote frames,
// CAN FD frames, comment lines (#) and anything else are skipped and
// counted by reason; blank lines are ignored. The screen format without
// times has no pace to keep: such a file is refused as a whole.
const { frame } = require('./frames');

const LOG_LINE = /^\((\d+)\.(\d+)\)\s+(\S+)\s+(\S+)$/;
const SCREEN_LINE = /^\s*(?:\(([^)]*)\)\s+)?(\S+)\s+([0-9A-Fa-f]{3}|[0-9A-Fa-f]{8})\s+\[(\d+)\]\s*(.*)$/;
const ERROR_FLAG = 0x20000000;

// What a skipped line is, by reason: the summary's words, then the detail
// of a line reported on its own.
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
};

class RefusedFile extends Error {}

const skip = (reason) => ({ reason });

// An identifier of 3 or 8 hex digits; null when it is a standard one.
function identifierProblem(text) {
  if (text.length === 8) return (parseInt(text, 16) & ERROR_FLAG) !== 0 ? 'error frame' : 'extended identifier';
  if (!/^[0-9A-Fa-f]{3}$/.test(text) || parseInt(text, 16) > 0x7ff) return 'bad identifier';
  return null;
}

// "1700000000.123456" (absolute or from zero) or "2024-05-01 12:00:00.123456"
// (local time) -> microseconds, or NaN.
function micros(stamp) {
  let m = /^(\d+)\.(\d{1,9})$/.exec(stamp);
  if (m) return Number(m[1]) * 1e6 + Number(m[2].slice(0, 6).padEnd(6, '0'));
  m = /^(\d{4}-\d\d-\d\d) (\d\d:\d\d:\d\d)\.(\d{6})$/.exec(stamp);
  if (m) return new Date(`${m[1]}T${m[2]}`).getTime() * 1000 + Number(m[3]);
  return NaN;
}

function parseLogLine(text) {
  const m = LOG_LINE.exec(text.trim());
  if (!m) return skip('not a frame');
  const body = m[4];
  const f = /^([^#]*)#(.*)$/.exec(body);
  if (!f) return skip('not a frame');
  const problem = identifierProblem(f[1]);
  if (problem) return skip(problem);
  if (f[2].startsWith('#')) return skip('CAN FD frame');
  if (/^R[0-9A-Fa-f]?(?:_[0-9A-Fa-f])?$/i.test(f[2])) return skip('remote frame');
  const d = /^((?:[0-9A-Fa-f]{2}){0,8})(?:_([9A-Fa-f]))?$/.exec(f[2].replace(/\./g, ''));
  if (!d || (d[2] !== undefined && d[1].length !== 16)) return skip('bad data');
  const data = Buffer.from(d[1], 'hex');
  const len = d[2] !== undefined ? parseInt(d[2], 16) : data.length;
  return { micros: micros(`${m[1]}.${m[2]}`), id: parseInt(f[1], 16), data, len };
}

function parseScreenLine(text) {
  const m = SCREEN_LINE.exec(text);
  if (!m) return skip('not a frame');
  if (m[1] === undefined || Number.isNaN(micros(m[1]))) return skip('no time');
  const problem = identifierProblem(m[3]);
  if (problem) return skip(problem);
  const len = Number(m[4]);
  if (/^remote request/.test(m[5])) return skip('remote frame');
  if (len > 8) return skip('CAN FD frame');
  const bytes = m[5].split(/\s+/).slice(0, len);
  if (bytes.length !== len || !bytes.every((b) => /^[0-9A-Fa-f]{2}$/.test(b))) return skip('bad data');
  return { micros: micros(m[1]), id: parseInt(m[3], 16), data: Buffer.from(bytes.join(''), 'hex'), len };
}

// The format of a file, from its first line that is neither blank nor a
// comment. Throws RefusedFile for the screen format without times.
function formatOf(lines, file) {
  const first = lines.find((l) => l.trim() !== '' && !l.trimStart().startsWith('#'));
  if (first === undefined || LOG_LINE.test(first.trim())) return parseLogLine;
  const m = SCREEN_LINE.exec(first);
  if (!m) return parseLogLine;
  if (m[1] === undefined) {
    throw new RefusedFile(`qel-monitor: ${file} is in candump's screen format without times ("  can0  123   [8]  11 22 33 ..."), ` +
      'which has no pace to replay; record with candump -l (or -ta for the screen format with times)');
  }
  return parseScreenLine;
}

// -> { frames: [{ line, micros, id, data, len }], skipped: [{ line, reason, text }] }
function parseCapture(text, file = 'the capture') {
  const frames = [];
  const skipped = [];
  const lines = text.split('\n').map((l) => l.replace(/\r$/, ''));
  if (lines.length && lines[lines.length - 1] === '') lines.pop();
  const parse = formatOf(lines, file);
  lines.forEach((line, i) => {
    if (line.trim() === '') return;
    const r = line.trimStart().startsWith('#') ? skip('comment') : parse(line);
    if (r.reason) skipped.push({ line: i + 1, reason: r.reason, text: line });
    else frames.push({ line: i + 1, ...r });
  });
  return { frames, skipped };
}

function describeSkipped(file, s) {
  const shown = s.text.length > 60 ? `${s.text.slice(0, 57)}...` : s.text;
  return `qel-monitor: ${file} line ${s.line}: ${REASONS[s.reason]}; skipped: ${JSON.stringify(shown)}`;
}

// The skipped lines worth a line of their own: the first few that are not
// comments (a file of thousands of them gets its summary, not a flood).
function skippedToShow(skipped, most = 10) {
  return skipped.filter((s) => s.reason !== 'comment').slice(0, most);
}

// "replay of capture.log: 21918 lines accepted, 3 skipped (extended identifier: 2, comment: 1)"
function summary(name, capture) {
  const counts = new Map();
  for (const s of capture.skipped) counts.set(s.reason, (counts.get(s.reason) || 0) + 1);
  const reasons = [...counts].map(([reason, n]) => `${reason}: ${n}`).join(', ');
  return `qel-monitor: replay of ${name}: ${capture.frames.length} lines accepted, ${capture.skipped.length} skipped` +
    (reasons ? ` (${reasons})` : '');
}

// The poll delay (us) that keeps up with the file's densest 100 ms: at
// least twice as many polls as frames there, and never slower than the
// simulated bridge's usual 5 ms.
function pollDelayFor(frames) {
  let densest = 0;
  for (let first = 0, last = 0; last < frames.length; last++) {
    while (frames[last].micros - frames[first].micros >= 100000) first++;
    densest = Math.max(densest, last - first + 1);
  }
  return Math.min(5000, Math.floor(50000 / Math.max(1, densest)));
}

// Feeds the frames at their recorded pace, relative to the first one; a
// frame stamped earlier than the one before it goes out at once. The
// bridge queues what the driver has not polled yet, so nothing is lost.
function play(frames, feed, { onProgress = () => {}, onDone = () => {} } = {}) {
  let i = 0;
  let timer = null;
  if (frames.length === 0) {
    setImmediate(onDone);
    return { stop() {} };
  }
  const t0 = frames[0].micros;
  const start = performance.now();
  const step = () => {
    timer = null;
    const elapsed = performance.now() - start;
    while (i < frames.length && (frames[i].micros - t0) / 1000 <= elapsed) {
      const f = frames[i++];
      feed(frame(f.id, f.data, { len: f.len }));
    }
    onProgress(i);
    if (i >= frames.length) return onDone();
    timer = setTimeout(step, Math.max(0, (frames[i].micros - t0) / 1000 - elapsed));
  };
  step();
  return { stop() { if (timer) clearTimeout(timer); } };
}

module.exports = { parseCapture, describeSkipped, skippedToShow, summary, pollDelayFor, play, RefusedFile, REASONS };
