'use strict';
// Recording every frame the driver reads as a candump log, the format of
// candump -l that --replay and can-utils read (candump.js writes the
// lines): (1700000000.123456) qel0 1A1#0102030405060708
// What is no CAN data frame becomes a comment line: a frame with a wrong
// checksum, an identifier above 7FF (the bridge's own), and frames the
// monitor lost.
//
// A write that fails (a full disk, a device gone) ends the recording, not
// the monitor: the file is cut back to its last whole line, and the
// monitor says so and goes on with the bus.
const fs = require('fs');
const candump = require('./candump');

const FLUSH_MS = 250;
const FLUSH_BYTES = 1 << 20;

// Frame i of a capture batch as one line, without the line feed.
function candumpLine(batch, i, iface) {
  const id = batch.id[i];
  const line = candump.format({ micros: batch.time[i], iface, id, len: batch.length[i], data: batch.data }, 8 * i);
  if (batch.checksumError[i]) return `# ${line} checksum error`;
  if (id > 0x7ff) return `# ${line} not a standard identifier`;
  return line;
}

// Writes all of `text` at `position`; returns the bytes written before an
// error, with the error, or all of them.
function writeAll(fd, text, position) {
  const bytes = Buffer.from(text, 'latin1');
  let done = 0;
  try {
    while (done < bytes.length) done += fs.writeSync(fd, bytes, done, bytes.length - done, position + done);
    return { done };
  } catch (error) {
    return { done, error };
  }
}

// The whole lines of `lines` within the first `bytes` bytes of their text
// -> { bytes, frames, comments }. The lines are ASCII (the interface name
// is letters, digits and . _ -), a byte a character.
function wholeLines(lines, bytes) {
  const whole = { bytes: 0, frames: 0, comments: 0 };
  for (const line of lines) {
    const size = line.length + 1;
    if (whole.bytes + size > bytes) break;
    whole.bytes += size;
    if (line[0] === '#') whole.comments++;
    else whole.frames++;
  }
  return whole;
}

// Opens `file` for the recording (before the driver starts: a file that
// cannot be written is refused first); returns start(bus), which starts the
// capture of a driver object into it, stop(), which takes what the driver
// still holds, writes it and closes the file, the counts of what the file
// holds, and failure: null, or the error that ended the recording. Every
// way out of the process stops it, so what was read is written.
// onFailure(error) is called once when a write fails.
function startRecording(file, iface, { onFailure = () => {} } = {}) {
  const fd = fs.openSync(file, 'w');
  let bus = null;
  const counts = { frames: 0, comments: 0, dropped: 0 };
  const state = { failure: null };
  let pending = [];
  let pendingBytes = 0;
  let size = 0;
  let open = true;
  let timer = null;
  const close = () => {
    open = false;
    clearInterval(timer);
    fs.closeSync(fd);
  };
  const flush = () => {
    if (pending.length === 0 || !open) return;
    const written = writeAll(fd, `${pending.join('\n')}\n`, size);
    const whole = wholeLines(pending, written.done);
    size += whole.bytes;
    counts.frames += whole.frames;
    counts.comments += whole.comments;
    pending = [];
    pendingBytes = 0;
    if (!written.error) return;
    state.failure = written.error;
    try { fs.ftruncateSync(fd, size); } catch { /* what is past the last line stays as it is */ }
    close();
    bus.capture(null);
    onFailure(written.error);
  };
  const capture = (batch) => {
    if (!open) return;
    if (batch.dropped > 0) {
      pending.push(`# ${batch.dropped} frames lost: the monitor did not keep up`);
      counts.dropped += batch.dropped;
    }
    // A batch holds up to the driver's whole ring, some 130,000 frames:
    // written as it goes, it never holds more than FLUSH_BYTES of lines.
    for (let i = 0; i < batch.count && open; i++) {
      const line = candumpLine(batch, i, iface);
      pending.push(line);
      pendingBytes += line.length;
      if (pendingBytes >= FLUSH_BYTES) flush();
    }
  };
  const start = (driverObject) => {
    bus = driverObject;
    bus.capture(capture);
    timer = setInterval(flush, FLUSH_MS);
    timer.unref();
  };
  const stop = () => {
    if (!open) return;
    if (bus && !bus.closed) bus.capture(null);
    flush();
    if (open) close();
  };
  process.on('exit', stop);
  return { counts, start, stop, get failure() { return state.failure; } };
}

module.exports = { startRecording, candumpLine };
