'use strict';
// Replaying a capture written by candump of can-utils (the formats are in
// candump.js): one frame per line. Standard (11-bit) data frames of 0 to 8
// bytes are replayed, an 8-byte frame with candump's length code suffix
// (_9 to _F) with that length code. Extended identifiers, error frames,
// remote frames, CAN FD frames, comment lines (#) and anything else are
// skipped and counted by reason; blank lines are ignored. The screen
// format without times has no pace to keep: such a file is refused as a
// whole.
//
// A capture may be far larger than the memory of a small board, so it is
// never held whole: one pass reads it through for what needs all of it
// (the counts, the poll delay, the lines to report), and the replay reads
// it again as the pace asks for its frames.
const fs = require('fs');
const { frame } = require('../frame');
const candump = require('./candump');
const { after } = require('./after');

const { REASONS, LONGEST_LINE } = candump;
const CHUNK = 1 << 16;
const LINE_FEED = 0x0a;
const HEAD = 64;

class RefusedFile extends Error {}

// A line longer than any candump writes: a run of NUL bytes left by a power
// cut, a preallocated or damaged file. Only its first bytes are kept, for
// the line that reports it.
class TooLong {
  constructor(head) { this.head = head; }
}

// The lines of a file, without line feed and carriage return, read a
// chunk at a time as they are asked for. Each byte is looked at once, and
// a line is held only up to LONGEST_LINE: a file of one endless line costs
// the time of reading it and no more memory than a short one.
class LineReader {
  constructor(file) {
    this.fd = fs.openSync(file, 'r');
    this.buffer = Buffer.alloc(CHUNK);
    this.start = 0;
    this.end = 0;
    this.parts = [];    // the line so far, from earlier chunks
    this.length = 0;    // its bytes, also those not kept
    this.ended = false;
  }

  // The next line (a string or a TooLong), or null after the last one.
  next() {
    for (;;) {
      const feed = this.buffer.subarray(0, this.end).indexOf(LINE_FEED, this.start);
      if (feed >= 0) {
        const line = this.take(feed);
        this.start = feed + 1;
        return line;
      }
      this.keep(this.end);
      if (this.ended) return this.length > 0 ? this.take(this.end) : null;
      this.fill();
    }
  }

  // The bytes from start to `at`, kept as part of the line being read.
  keep(at) {
    if (at > this.start && this.length + (at - this.start) <= LONGEST_LINE) {
      this.parts.push(Buffer.from(this.buffer.subarray(this.start, at)));
    } else if (at > this.start && this.length < HEAD) {
      this.parts.push(Buffer.from(this.buffer.subarray(this.start, this.start + HEAD - this.length)));
    }
    this.length += at - this.start;
    this.start = at;
  }

  // The line that ends at `at`; the reader moves on to the next.
  take(at) {
    this.keep(at);
    const bytes = Buffer.concat(this.parts);
    const tooLong = this.length > LONGEST_LINE;
    this.parts = [];
    this.length = 0;
    if (tooLong) return new TooLong(bytes.subarray(0, HEAD).toString('utf8'));
    return bytes.toString('utf8').replace(/\r$/, '');
  }

  fill() {
    const n = fs.readSync(this.fd, this.buffer, 0, CHUNK, null);
    this.start = 0;
    this.end = n;
    if (n > 0) return;
    this.ended = true;
    fs.closeSync(this.fd);
  }

  close() {
    if (!this.ended) fs.closeSync(this.fd);
    this.ended = true;
    this.start = this.end = this.length = 0;
    this.parts = [];
  }
}

// Why a frame that candump wrote is none the bridge carries, or null.
function notReplayed(f) {
  if (f.error) return 'error frame';
  if (f.extended) return 'extended identifier';
  if (f.remote) return 'remote frame';
  return null;
}

// The lines of a capture in file order, blank ones left out, each as
// { line, text, frame } or { line, text, reason }. Throws RefusedFile for
// the screen format without times.
class Entries {
  constructor(file) {
    this.file = file;
    this.reader = new LineReader(file);
    this.line = 0;
    this.read = null;
  }

  next() {
    for (;;) {
      const text = this.reader.next();
      if (text === null) return null;
      this.line++;
      if (text instanceof TooLong) return { line: this.line, text: text.head, reason: 'line too long' };
      if (text.trim() === '') continue;
      if (text.trimStart().startsWith('#')) return { line: this.line, text, reason: 'comment' };
      if (!this.read) this.read = this.readerFor(text);
      const f = this.read(text);
      const reason = f.reason || notReplayed(f);
      return reason ? { line: this.line, text, reason } : { line: this.line, text, frame: f };
    }
  }

  readerFor(first) {
    const read = candump.readerFor(first);
    if (read !== 'screen without times') return read;
    throw this.refuse('is in candump\'s screen format without times ("  can0  123   [8]  11 22 33 ..."), which has no pace to replay');
  }

  // Closes the file and says why it is not replayed, and how to record one that is.
  refuse(why) {
    this.reader.close();
    return new RefusedFile(`qel-monitor: ${this.file} ${why}; record with candump -l (or -ta for the screen format with times)`);
  }

  close() { this.reader.close(); }
}

// The most frames within 100 ms of one another, in file order, counted as
// they come. It matters up to 50,000 (the poll delay is 0 from there on),
// so that many times are all it keeps. A time earlier than the one before
// (two captures joined out of order) starts the count afresh: the frames
// before it are no neighbours of those after it, and kept in the window
// they would never leave it.
class Densest {
  constructor(most = 50001) {
    this.times = new Float64Array(most);
    this.first = 0;
    this.count = 0;
    this.most = 0;
    this.last = -Infinity;
    this.stepsBack = 0;
  }

  add(t) {
    if (t < this.last) {
      this.count = 0;
      this.stepsBack++;
    }
    this.last = t;
    const size = this.times.length;
    while (this.count > 0 && (t - this.times[this.first] >= 100000 || this.count === size)) {
      this.first = (this.first + 1) % size;
      this.count--;
    }
    this.times[(this.first + this.count) % size] = t;
    this.count++;
    this.most = Math.max(this.most, this.count);
  }
}

// The poll delay (us) that keeps up with the file's densest 100 ms: at
// least twice as many polls as frames there, and never slower than the
// simulated bridge's usual 5 ms.
function pollDelayFor(densest) {
  return Math.min(5000, Math.floor(50000 / Math.max(1, densest)));
}

// candump -td writes the time since the previous frame in the screen
// format of -tz, "(000.010000)", which would replay as times since the
// start: a capture of 30 s in one. One clock never goes back, and two
// captures joined step back once; a screen-format capture whose times
// step back twice has candump -td's times.
const DELTA_TIMES = 'has candump\'s times since the previous frame (candump -td), which a replay would take for times since the start';

// Reads the capture through once ->
// { accepted, skipped, reasons: Map(reason -> lines), shown: the skipped
//   lines worth a line of their own, pollDelay }
// The lines shown are the first few that are not comments: a file of
// thousands of them gets its summary, not a flood.
function scan(file, { most = 10 } = {}) {
  const entries = new Entries(file);
  const densest = new Densest();
  const capture = { accepted: 0, skipped: 0, reasons: new Map(), shown: [], pollDelay: 0 };
  for (let e = entries.next(); e !== null; e = entries.next()) {
    if (e.frame) {
      capture.accepted++;
      densest.add(e.frame.micros);
      if (densest.stepsBack > 1 && entries.read === candump.parseScreen) throw entries.refuse(DELTA_TIMES);
      continue;
    }
    capture.skipped++;
    capture.reasons.set(e.reason, (capture.reasons.get(e.reason) || 0) + 1);
    if (e.reason !== 'comment' && capture.shown.length < most) capture.shown.push(e);
  }
  capture.pollDelay = pollDelayFor(densest.most);
  return capture;
}

function describeSkipped(file, s) {
  const shown = s.text.length > 60 ? `${s.text.slice(0, 57)}...` : s.text;
  return `qel-monitor: ${file} line ${s.line}: ${REASONS[s.reason]}; skipped: ${JSON.stringify(shown)}`;
}

// "replay of capture.log: 21918 lines accepted, 3 skipped (extended identifier: 2, comment: 1)"
function summary(name, capture) {
  const reasons = [...capture.reasons].map(([reason, n]) => `${reason}: ${n}`).join(', ');
  return `qel-monitor: replay of ${name}: ${capture.accepted} lines accepted, ${capture.skipped} skipped` +
    (reasons ? ` (${reasons})` : '');
}

// Feeds the capture's frames at their recorded pace, relative to the first
// one; a frame stamped earlier than the one before it goes out at once.
// The bridge queues what the driver has not polled yet, so nothing is
// lost. Each frame is read from the file when its time has come.
function play(file, feed, { onProgress = () => {}, onDone = () => {} } = {}) {
  const entries = new Entries(file);
  const nextFrame = () => {
    for (let e = entries.next(); e !== null; e = entries.next()) if (e.frame) return e.frame;
    return null;
  };
  let next = nextFrame();
  let timer = null;
  if (next === null) {
    setImmediate(onDone);
    return { stop() {} };
  }
  let fed = 0;
  const t0 = next.micros;
  const start = performance.now();
  const step = () => {
    timer = null;
    const elapsed = performance.now() - start;
    while (next !== null && (next.micros - t0) / 1000 <= elapsed) {
      feed(frame(next.id, next.data, { len: next.len }));
      fed++;
      next = nextFrame();
    }
    onProgress(fed);
    if (next === null) return onDone();
    timer = after(Math.max(0, (next.micros - t0) / 1000 - elapsed), step);
  };
  step();
  return {
    stop() {
      if (timer) timer.clear();
      entries.close();
    },
  };
}

module.exports = { scan, describeSkipped, summary, pollDelayFor, play, notReplayed, RefusedFile, REASONS };
