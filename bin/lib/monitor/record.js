'use strict';
// Recording every frame the driver reads as a candump log, the format of
// candump -l that --replay and can-utils read:
//   (1700000000.123456) qel0 1A1#0102030405060708
// The identifier in three upper-case hex digits, the data bytes of the
// length code (a length code of 9 to 15 keeps 8 bytes and is written as
// candump's suffix _9 to _F, a larger one keeps 8 bytes). What is no CAN
// data frame becomes a comment line: a frame with a wrong checksum, an
// identifier above 7FF (the bridge's own), and frames the monitor lost.
const fs = require('fs');

const HEX = Array.from({ length: 256 }, (_, b) => b.toString(16).toUpperCase().padStart(2, '0'));
const FLUSH_MS = 250;
const FLUSH_BYTES = 1 << 20;

// Frame i of a capture batch as one line, without the line feed.
function candumpLine(batch, i, iface) {
  const t = batch.time[i];
  const seconds = Math.floor(t / 1e6);
  const id = batch.id[i];
  const length = batch.length[i];
  let line = `(${seconds}.${String(t - seconds * 1e6).padStart(6, '0')}) ${iface} ${id.toString(16).toUpperCase().padStart(3, '0')}#`;
  for (let k = 0, n = Math.min(8, length); k < n; k++) line += HEX[batch.data[8 * i + k]];
  if (length > 8 && length < 16) line += `_${length.toString(16).toUpperCase()}`;
  if (batch.checksumError[i]) return `# ${line} checksum error`;
  if (id > 0x7ff) return `# ${line} not a standard identifier`;
  return line;
}

// Starts the capture into `file`; returns stop(), which takes what the
// driver still holds, writes it and closes the file, and the counts. Every
// way out of the process stops it, so what was read is written.
function startRecording(driver, file, iface) {
  const fd = fs.openSync(file, 'w');
  const counts = { frames: 0, comments: 0, dropped: 0 };
  let pending = [];
  let pendingBytes = 0;
  const flush = () => {
    if (pending.length === 0) return;
    fs.writeSync(fd, `${pending.join('\n')}\n`);
    pending = [];
    pendingBytes = 0;
  };
  driver.capture((batch) => {
    if (batch.dropped > 0) {
      pending.push(`# ${batch.dropped} frames lost: the monitor did not keep up`);
      counts.dropped += batch.dropped;
    }
    for (let i = 0; i < batch.count; i++) {
      const line = candumpLine(batch, i, iface);
      if (line[0] === '#') counts.comments++;
      else counts.frames++;
      pending.push(line);
      pendingBytes += line.length;
    }
    if (pendingBytes >= FLUSH_BYTES) flush();
  });
  const timer = setInterval(flush, FLUSH_MS);
  timer.unref();
  let open = true;
  const stop = () => {
    if (!open) return;
    open = false;
    driver.capture(null);
    clearInterval(timer);
    flush();
    fs.closeSync(fd);
  };
  process.on('exit', stop);
  return { counts, stop };
}

module.exports = { startRecording, candumpLine };
