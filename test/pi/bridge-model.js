'use strict';
// The test side of the bridge model (tools/pi/qel_bridge.c), from inside
// the emulated Raspberry Pi: each request is one line on the mini UART
// (/dev/ttyS1), which the host joins to the model's chardev, and waits for
// its one answer line. Synchronous, so that a scenario's child can act on
// the bridge between two of its own steps. Also the frames that the tests
// feed the bridge, each with what the driver makes of it.
const fs = require('fs');
const { execFileSync } = require('child_process');
const { frame, empty } = require('../helpers/frames');

const TTY = '/dev/ttyS1';
let fd = -1;

function port() {
  if (fd < 0) {
    execFileSync('stty', ['-F', TTY, 'raw', '-echo', 'clocal']);
    fd = fs.openSync(TTY, 'r+');
    // Whatever the port held before it was set up ends with this line, and
    // its one answer is dropped.
    fs.writeSync(fd, '\n');
    readLine(fd);
  }
  return fd;
}

function readLine(f) {
  const chunk = Buffer.alloc(65536);
  let answer = '';
  while (!answer.endsWith('\n')) answer += chunk.toString('latin1', 0, fs.readSync(f, chunk, 0, chunk.length, null));
  return answer.trim();
}

// The words of the answer after its "ok"; an "error" answer throws.
function request(line) {
  const f = port();
  fs.writeSync(f, `${line}\n`);
  const answer = readLine(f);
  if (!answer.startsWith('ok')) throw new Error(`bridge model, '${line.slice(0, 60)}': ${answer}`);
  return answer.slice(2).trim();
}

const hex = (frames) => frames.map((f) => Buffer.from(f).toString('hex'));
// A request line stays within the model's 8 KiB.
function inChunks(verb, frames) {
  const words = hex(frames);
  for (let i = 0; i < words.length; i += 200) request([verb, ...words.slice(i, i + 200)].join(' '));
}

const model = {
  // One request line as it is, and the words of its answer.
  request,
  reset: () => request('reset'),
  // The bridge loses power and comes back: no register selected, the bit
  // rate register at 0. What waits in its queue stays.
  powerReset: () => request('power-reset'),
  // Frames that the bridge gives at once, in this order.
  queue: (frames) => inChunks('queue', frames),
  // Frames that reach the bridge one at a time, `rate` a virtual second.
  feed: (rate, frames) => inChunks(`feed ${rate}`, frames),
  // What the next reads of register 0x03 answer, before it answers what
  // was written.
  baud: (values) => request(['baud', ...values.map((v) => v.toString(16))].join(' ')),
  unplug: (ms) => request(`unplug ${ms}`),
  nack: () => request('nack'),
  nackByte: (n) => request(`nack-byte ${n}`),
  cut: (n) => request(`cut ${n}`),
  // The frames transmitted since the last call: the virtual time of their
  // arrival (ns) and their 16 bytes.
  sent: () => request('sent').split(' ').slice(1).map((w) => {
    const [at, bytes] = w.split(':');
    return { at: Number(at), bytes: Buffer.from(bytes, 'hex') };
  }),
  errors: () => {
    const [count, ...rest] = request('errors').split(' ');
    return { count: Number(count), list: rest.join(' ').split('|').filter(Boolean) };
  },
  stats: () => Object.fromEntries(request('stats').split(' ').map((w) => w.split('=')).map(([k, v]) => [k, Number(v)])),
};

// Frames of identifier 0xFFD are dropped without being counted: they stand
// between the named frames, so that two reports are at least three polls
// apart (the application's callback runs once for reports that come closer
// together than the main thread takes to answer).
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

// The named frames with the fillers after each, as the bridge gives them.
const spaced = () => FRAMES.flatMap((f) => [f.frame, ...Array.from({ length: FILLERS }, filler)]);

module.exports = { model, FRAMES, spaced };
