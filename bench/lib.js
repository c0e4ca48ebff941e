'use strict';
// What the benchmark scenarios share: frames, the limits of the bus, clocks
// of one thread, and small statistics.
const fs = require('fs');
const frames = require('../lib/frame');
const facts = require('../lib/facts');

// The thirteen identifiers that have message slots, in slot order.
const SLOT_IDS = facts.slots.map((slot) => slot.id);

// The limits that the figures are compared with. An I2C transfer at
// 400 kHz takes nine clocks of 2.5 us per byte, the address byte included,
// plus about two for start and stop: a 16-byte read ~385 us, a 17-byte
// write ~408 us. A CAN bus at 250 kbit/s carries at most ~2,250 standard
// frames a second with 8 data bytes (111 bits each, no stuffing).
const LIMITS = {
  i2cHz: 400000,
  readUs: 385,
  writeUs: 408,
  canFramesPerS: 2250,
};

// A 16-byte bridge frame of `id` with eight data bytes; the serial number
// fills data bytes 0-3, so that frames with different serials differ in
// the bytes that every slot class compares.
const serialData = Buffer.alloc(8);
function frame(id, serial, out = Buffer.alloc(frames.FRAME_BYTES)) {
  serialData.writeUInt32LE(serial >>> 0, 0);
  serialData[4] = 0x5a;
  return frames.frame(id, serialData, { into: out });
}

// The serial number that a delivered status object carries.
const serialOf = (status) => status.msg_data.readUInt32LE(0);

// CPU time of one thread of this process in nanoseconds (the main thread
// by default): the scheduler's own account, exact to the nanosecond, or
// the tick-based one when that is missing.
function threadCpuNs(tid = process.pid) {
  try {
    return Number(fs.readFileSync(`/proc/self/task/${tid}/schedstat`, 'utf8').split(' ')[0]);
  } catch {
    const fields = fs.readFileSync(`/proc/self/task/${tid}/stat`, 'utf8').split(') ')[1].split(' ');
    return (Number(fields[11]) + Number(fields[12])) * 1e7;  // utime + stime, at 100 ticks/s
  }
}

// Context switches of one thread: voluntary ones are waits (for the event
// loop's next event, for a lock), involuntary ones preemptions.
function threadSwitches(tid = process.pid) {
  const status = fs.readFileSync(`/proc/self/task/${tid}/status`, 'utf8');
  const field = (name) => Number((status.match(new RegExp(`^${name}:\\s*(\\d+)`, 'm')) || [0, NaN])[1]);
  return { voluntary: field('voluntary_ctxt_switches'), involuntary: field('nonvoluntary_ctxt_switches') };
}

// The thread of this process, other than the main thread, that has used
// the most CPU: under traffic, the driver's receive thread.
function busiestOtherThread() {
  let best = null;
  for (const tid of fs.readdirSync('/proc/self/task')) {
    if (Number(tid) === process.pid) continue;
    const cpu = threadCpuNs(tid);
    if (!best || cpu > best.cpu) best = { tid, cpu };
  }
  return best && best.tid;
}

const hrNs = () => Number(process.hrtime.bigint());

function quantile(sorted, q) {
  if (sorted.length === 0) return NaN;
  const at = Math.min(sorted.length - 1, Math.max(0, Math.ceil(q * sorted.length) - 1));
  return sorted[at];
}

const median = (values) => quantile([...values].sort((a, b) => a - b), 0.5);

// Hands the scenario's result to the runner; the driver keeps the event
// loop alive, so the process ends here.
function report(value) {
  process.stdout.write(`\n@@BENCH ${JSON.stringify(value)}\n`, () => process.exit(0));
}

const wait = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

module.exports = { SLOT_IDS, LIMITS, checksum: frames.checksum, frame, serialOf, threadCpuNs, threadSwitches, busiestOtherThread, hrNs, quantile, median, report, wait };
