'use strict';
// Bridge frames as the bridge delivers them: 16 bytes, identifier in bytes
// 2-3, length code in byte 6, data in bytes 7-14, checksum in byte 15.

function checksum(bytes, len = bytes.length) {
  if (len <= 0) return 0;
  let sum = 0;
  for (let i = 0; i < len; i++) sum += bytes[i];
  return sum > 255 ? (-sum) & 0xff : sum;
}

// frame(0x1A1, [1, 2, 3]) -> 16-byte Buffer; options: len (length code,
// default the data's length), badChecksum, head (bytes 0-1), mid (bytes 4-5).
function frame(id, data = [], opts = {}) {
  const b = Buffer.alloc(16);
  if (opts.head) { b[0] = opts.head[0]; b[1] = opts.head[1]; }
  b[2] = (id >> 8) & 0xff;
  b[3] = id & 0xff;
  if (opts.mid) { b[4] = opts.mid[0]; b[5] = opts.mid[1]; }
  b[6] = opts.len !== undefined ? opts.len : data.length;
  for (let i = 0; i < Math.min(8, data.length); i++) b[7 + i] = data[i];
  b[15] = checksum(b, 15);
  if (opts.badChecksum) b[15] = (b[15] + 1) & 0xff;
  return b;
}

// The 15 bytes that simulate() takes.
function simBytes(id, data = [], opts = {}) {
  return frame(id, data, opts).subarray(0, 15);
}

const empty = () => frame(0, [], { len: 0xff });

// A 17-byte transmit frame as the driver writes it: register 0x30, the
// identifier's two bytes, length code 8, up to 8 data bytes, checksum.
function transmitFrame(idHigh, idLow, data) {
  const b = Buffer.alloc(17);
  b[0] = 0x30;
  b[3] = idHigh;
  b[4] = idLow;
  b[7] = 0x08;
  data.forEach((v, i) => { b[8 + i] = v; });
  b[16] = checksum(b.subarray(1, 16));
  return b;
}

module.exports = { checksum, frame, simBytes, empty, transmitFrame };
