'use strict';
// Writes the seed inputs of the receive-cycle fuzzer: one program per kind
// of frame and operation, so that a short run starts from every path.
const fs = require('fs');
const path = require('path');
const { frame } = require('../helpers/frames');

const dir = process.argv[2];
fs.mkdirSync(dir, { recursive: true });

const FRAME = 0, FAIL = 1, CLEAR = 2, SIM = 3, TABLES = 4, EMPTY = 5;
const ids = [0x1a1, 0x2a1, 0x3a1, 0x421, 0x4a1, 0x2a2, 0x2c0, 0x2c9, 0x4e0, 0x700, 0x765, 0x7ff,
  0x123, 0xfff, 0xffe, 0xffd];
const seeds = {};
for (const id of ids) {
  const f = frame(id, [1, 2, 3, 4, 5, 6, 7, 8]);
  const bad = frame(id, [1, 2, 3], { badChecksum: true });
  const emptyCode = frame(id, [9], { len: 0xff });
  const longCode = frame(id, [1, 2, 3, 4, 5, 6, 7, 8], { len: 200 });
  seeds[`frames-${id.toString(16)}`] = Buffer.concat([
    Buffer.from([FRAME]), f, Buffer.from([FRAME]), f, Buffer.from([FRAME]), bad,
    Buffer.from([FRAME]), emptyCode, Buffer.from([FRAME]), longCode,
    Buffer.from([SIM]), f.subarray(0, 15),
  ]);
}
seeds['ops'] = Buffer.concat([
  Buffer.from([EMPTY, FAIL, 2, FRAME]), frame(0x2c0, [1, 2, 3]),
  Buffer.from([CLEAR, 3, 0x02, 0xc0, CLEAR, 0, 0, 0, CLEAR, 1, 0, 0]),
  Buffer.from([TABLES, 0xff, 0x1f, 0x05, 0x00, FRAME]), frame(0x421, [7]),
  Buffer.from([TABLES, 0x00, 0x00, 0xff, 0x1f, FRAME]), frame(0x4e0, [7]),
]);
for (const [name, bytes] of Object.entries(seeds)) fs.writeFileSync(path.join(dir, name), bytes);
