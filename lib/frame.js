'use strict';
// The bridge frame: one CAN message as the CAN bridge hands it to the driver
// on the I2C bus. 16 bytes: the identifier in bytes 2-3 (high byte first),
// the length code in byte 6, the data in bytes 7-14 and, in byte 15, the
// checksum of bytes 0-14. Bytes 0-1 and 4-5 stay 0.

const FRAME_BYTES = 16;
const MAX_DATA = 8;

// The bridge's checksum: the sum of the bytes while it fits in a byte,
// else the low 8 bits of the negated sum.
function checksum(bytes, len = bytes.length) {
  if (len <= 0) return 0;
  let sum = 0;
  for (let i = 0; i < len; i++) sum += bytes[i];
  return sum > 255 ? (-sum) & 0xff : sum;
}

const isByte = (v) => Number.isInteger(v) && v >= 0 && v <= 255;

function validArguments(id, data, extra) {
  if (extra.length > 0 || !Number.isInteger(id) || id < 0 || id > 0xffff) return false;
  if (!Array.isArray(data) && !(data instanceof Uint8Array)) return false;
  return data.length <= MAX_DATA && Array.prototype.every.call(data, isByte);
}

// frame(0x2c0, [1, 0xc0]) -> a 16-byte Buffer that the driver accepts, its
// length code the number of data bytes. The simulated bridge's methods
// name themselves in their errors, and this is one of them to its users.
function frame(id, data = [], ...extra) {
  if (!validArguments(id, data, extra)) {
    throw new TypeError('bridge.frame: expected an identifier (integer 0-65535) and an array of at most 8 data bytes (integers 0-255)');
  }
  const bytes = Buffer.alloc(FRAME_BYTES);
  bytes.writeUInt16BE(id, 2);
  bytes[6] = data.length;
  for (let i = 0; i < data.length; i++) bytes[7 + i] = data[i];
  bytes[15] = checksum(bytes, FRAME_BYTES - 1);
  return bytes;
}

module.exports = { checksum, frame };
