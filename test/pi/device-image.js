'use strict';
// The bridge as the emulated Raspberry Pi plays it: an EEPROM at 0x25 whose
// memory is a register file with one address byte. After the driver selects
// register 0x40, every 16-byte read returns the next row, so the rows from
// 0x40 on are the frames that the bridge delivers, in this order; a 17-byte
// transmit write lands in row 0x30 and leaves the pointer at 0x40 again.
//
//   node test/pi/device-image.js FILE    writes the device's memory image
const fs = require('fs');
const { frame, empty } = require('../helpers/frames');

// With one address byte, a write sets the pointer to (pointer * 256 + byte)
// modulo the size: 1024 is the largest size at which the driver's register
// writes (made with the pointer at 0, 4 or a multiple of 16) still land on
// the register they name.
const SIZE = 1024;
const ROW_TRANSMIT = 0x30;
const ROW_RECEIVE = 0x40;

// Frames of identifier 0xFFD are dropped without being counted: the rows
// around the named frames hold them, so that what follows the last named
// frame changes nothing that the tests read, and two reports are at least
// six polls apart (the application's callback runs once for reports that
// come closer together than the main thread takes to answer).
const filler = () => frame(0xffd, []);
const FILLERS = 2;

// The frames in delivery order, each with what the driver does with it
// under the tests' settings (default tables, a debounce window longer than the run):
// `report` when it reaches the application, `stat` the statistic it raises.
const FRAMES = [
  { frame: frame(0x1a1, [1, 2, 3, 4, 5, 6, 7, 8]), report: true },            // cyclic, first
  { frame: frame(0x765, [1]), stat: 'hb' },                                    // heartbeat range
  { frame: frame(0x1a1, [1, 2, 3, 4, 5, 6, 7, 8]) },                           // cyclic, unchanged
  { frame: frame(0x2c0, [0x11, 0x22, 0x33, 0x44]), report: true },             // debounced, first
  { frame: frame(0x123, [9]), stat: 'unk' },                                   // not in the map
  { frame: frame(0x2c0, [0x11, 0x22, 0x33, 0x55]) },                           // bytes 0-2 unchanged
  { frame: frame(0x4a1, [7]), report: true },                                  // event
  { frame: frame(0x1a1, [1, 2, 3, 4, 5, 6, 7, 0xee], { badChecksum: true }), stat: 'err' },
  { frame: frame(0x4a1, [7]), report: true },                                  // event, same data
  { frame: empty(), stat: 'empty' },
  { frame: frame(0xffe, [1]), stat: 'empty' },                                 // the bridge's other empty marker
  { frame: frame(0x2c0, [0x11, 0x22, 0x34]), report: true },                   // debounced, changed
  { frame: frame(0x421, [5]) },                                                // disabled slot
  { frame: frame(0x1a1, [1, 2, 3, 4, 5, 6, 7, 9]), report: true },             // cyclic, changed
  { frame: frame(0x7a5, [2]), stat: 'hb' },
  { frame: frame(0x4a1, [0xe, 0xd]), report: true },                           // event: the last one
];

function image() {
  const memory = Buffer.alloc(SIZE);
  for (let row = 0; row < SIZE; row += 16) filler().copy(memory, row);
  FRAMES.forEach((f, i) => f.frame.copy(memory, ROW_RECEIVE + 16 * (FILLERS + 1) * i));
  return memory;
}

if (require.main === module) fs.writeFileSync(process.argv[2], image());

module.exports = { FRAMES, ROW_TRANSMIT, ROW_RECEIVE, SIZE, image };
