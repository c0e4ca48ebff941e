'use strict';
// Bridge frames as the CAN bridge hands them to the driver: 16 bytes with
// the identifier in bytes 2-3, the length code in byte 6 (0xff: nothing
// waited), the data in bytes 7-14 and the checksum of bytes 0-14 in byte 15.
// A transmit frame, as the driver writes it, is the transmit register 0x30
// followed by the same layout, its checksum over bytes 1-15 in byte 16.
// The monitor, the tests and the benchmarks build their frames here only.

const FRAME_BYTES = 16;
const REG_TRANSMIT = 0x30;
const LEN_EMPTY = 0xff;

// The bridge's checksum: the byte sum, two's complement once it passes 255.
function checksum(bytes, len = bytes.length) {
  if (len <= 0) return 0;
  let sum = 0;
  for (let i = 0; i < len; i++) sum += bytes[i];
  return sum > 255 ? (-sum) & 0xff : sum;
}

// frame(0x1a1, [1, 2, 3]) -> 16-byte Buffer; options: len (length code,
// default the data's length), badChecksum (spoils byte 15), head (bytes
// 0-1), mid (bytes 4-5), into (a 16-byte Buffer to fill instead of a new one).
function frame(id, data = [], opts = {}) {
  const b = opts.into ? opts.into.fill(0) : Buffer.alloc(FRAME_BYTES);
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

// What the bridge answers when no frame waits.
const empty = () => frame(0, [], { len: LEN_EMPTY });

const isByte = (v) => Number.isInteger(v) && v >= 0 && v <= 255;

function validArguments(id, data, extra) {
  if (extra.length > 0 || !Number.isInteger(id) || id < 0 || id > 0xffff) return false;
  if (!Array.isArray(data) && !(data instanceof Uint8Array)) return false;
  return data.length <= 8 && Array.prototype.every.call(data, isByte);
}

// bridge.frame(0x2c0, [1, 0xc0]) of the simulated flavour: a frame that the
// driver accepts, its length code the number of data bytes. The simulated
// bridge's methods name themselves in their errors, and this is one of them
// to its users.
function bridgeFrame(id, data = [], ...extra) {
  if (!validArguments(id, data, extra)) {
    const error = new TypeError('bridge.frame: expected an identifier (integer 0-65535) and an array of at most 8 data bytes (integers 0-255)');
    throw Object.assign(error, { code: 'QEL_BAD_ARGUMENT' });
  }
  return frame(id, data);
}

// A 17-byte transmit frame: register 0x30, the identifier's two bytes,
// length code 8, up to 8 data bytes, checksum.
function transmitFrame(idHigh, idLow, data) {
  const b = Buffer.alloc(FRAME_BYTES + 1);
  b[0] = REG_TRANSMIT;
  b[3] = idHigh;
  b[4] = idLow;
  b[7] = 0x08;
  data.forEach((v, i) => { b[8 + i] = v; });
  b[16] = checksum(b.subarray(1, 16));
  return b;
}

module.exports = { FRAME_BYTES, LEN_EMPTY, checksum, frame, bridgeFrame, simBytes, empty, transmitFrame };
