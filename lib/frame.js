'use strict';
// Bridge frames as the CAN bridge hands them to the driver, laid out as the
// add-on reads them (its facts.frame): the identifier in two bytes from
// idAt, the length code at lengthAt (lenEmpty: nothing waited), the data
// from dataAt and the checksum of the bytes before it at checksumAt.
// A transmit frame, as the driver writes it, is the transmit register
// followed by the same layout, its checksum over all but the register.
// The monitor, the tests and the benchmarks build their frames here only.
const { frame: LAYOUT } = require('./facts');

const { bytes: FRAME_BYTES, transmitBytes: TRANSMIT_BYTES, regTransmit: REG_TRANSMIT, lenEmpty: LEN_EMPTY } = LAYOUT;
const { idAt: ID_AT, lengthAt: LENGTH_AT, dataAt: DATA_AT, checksumAt: CHECKSUM_AT } = LAYOUT;
const DATA_BYTES = CHECKSUM_AT - DATA_AT;

// The bridge's checksum: the byte sum, two's complement once it passes 255.
function checksum(bytes, len = bytes.length) {
  if (len <= 0) return 0;
  let sum = 0;
  for (let i = 0; i < len; i++) sum += bytes[i];
  return sum > 255 ? (-sum) & 0xff : sum;
}

// frame(0x1a1, [1, 2, 3]) -> 16-byte Buffer; options: len (length code,
// default the data's length), badChecksum (spoils the checksum), head (the
// two bytes before the identifier), mid (the two after it), into (a 16-byte
// Buffer to fill instead of a new one).
function frame(id, data = [], opts = {}) {
  const b = opts.into ? opts.into.fill(0) : Buffer.alloc(FRAME_BYTES);
  if (opts.head) { b[ID_AT - 2] = opts.head[0]; b[ID_AT - 1] = opts.head[1]; }
  b[ID_AT] = (id >> 8) & 0xff;
  b[ID_AT + 1] = id & 0xff;
  if (opts.mid) { b[ID_AT + 2] = opts.mid[0]; b[ID_AT + 3] = opts.mid[1]; }
  b[LENGTH_AT] = opts.len !== undefined ? opts.len : data.length;
  for (let i = 0; i < Math.min(DATA_BYTES, data.length); i++) b[DATA_AT + i] = data[i];
  b[CHECKSUM_AT] = checksum(b, CHECKSUM_AT);
  if (opts.badChecksum) b[CHECKSUM_AT] = (b[CHECKSUM_AT] + 1) & 0xff;
  return b;
}

// The bytes before the checksum, which simulate() takes.
function simBytes(id, data = [], opts = {}) {
  return frame(id, data, opts).subarray(0, CHECKSUM_AT);
}

// What the bridge answers when no frame waits.
const empty = () => frame(0, [], { len: LEN_EMPTY });

const isByte = (v) => Number.isInteger(v) && v >= 0 && v <= 255;

function validArguments(id, data, extra) {
  if (extra.length > 0 || !Number.isInteger(id) || id < 0 || id > 0xffff) return false;
  if (!Array.isArray(data) && !(data instanceof Uint8Array)) return false;
  return data.length <= DATA_BYTES && Array.prototype.every.call(data, isByte);
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

// A 17-byte transmit frame: the transmit register, the identifier's two
// bytes, length code 8 (the driver sends no other), up to 8 data bytes,
// checksum.
function transmitFrame(idHigh, idLow, data) {
  const b = Buffer.alloc(TRANSMIT_BYTES);
  b[0] = REG_TRANSMIT;
  b[1 + ID_AT] = idHigh;
  b[2 + ID_AT] = idLow;
  b[1 + LENGTH_AT] = DATA_BYTES;
  data.forEach((v, i) => { b[1 + DATA_AT + i] = v; });
  b[TRANSMIT_BYTES - 1] = checksum(b.subarray(1, TRANSMIT_BYTES - 1));
  return b;
}

module.exports = { FRAME_BYTES, LEN_EMPTY, checksum, frame, bridgeFrame, simBytes, empty, transmitFrame };
