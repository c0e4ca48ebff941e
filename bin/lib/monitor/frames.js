'use strict';
// Bridge frames as the CAN bridge hands them to the driver: 16 bytes with
// the identifier in bytes 2-3, the length code in byte 6, the data in bytes
// 7-14 and the checksum of bytes 0-14 in byte 15.

function checksum(bytes, len) {
  if (len <= 0) return 0;
  let sum = 0;
  for (let i = 0; i < len; i++) sum += bytes[i];
  return sum > 255 ? (-sum) & 0xff : sum;
}

// frame(0x1a1, [1, 2, 3]) -> Buffer(16); { badChecksum: true } spoils byte 15;
// `len` sets a length code other than the number of data bytes.
function frame(id, data = [], { badChecksum = false, len = Math.min(8, data.length) } = {}) {
  const b = Buffer.alloc(16);
  b[2] = (id >> 8) & 0xff;
  b[3] = id & 0xff;
  b[6] = len;
  for (let i = 0; i < Math.min(8, data.length); i++) b[7 + i] = data[i];
  b[15] = checksum(b, 15);
  if (badChecksum) b[15] = (b[15] + 0x5a) & 0xff;
  return b;
}

module.exports = { checksum, frame };
