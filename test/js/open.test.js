'use strict';
// open(): the driver object in this test process, on the simulated bridge.
// This file ends by itself once its tests are done: the last test runs the
// first one in a node --test of its own and waits for it to exit.
const test = require('node:test');
const assert = require('node:assert/strict');
const { once } = require('events');
const { getSystemErrorName } = require('util');
const { spawn } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { msg, KERNEL } = require('../helpers/catalogue');
const { transmitFrame } = require('../helpers/frames');
const { root, nodeCommand, TIME_FACTOR } = require('../helpers/scenario');

const sim = require(`${root}/sim`);
const { bridge } = sim;
const FAST = { i2cDelay: 0, canBusDelay: 1000, heartbeat: 0 };
const hex = (bytes) => Buffer.from(bytes).toString('hex');
const lastWrite = () => hex(bridge.writes().at(-1).bytes);

test('open: receives as an event and in a for-await loop, sends by named fields, routes its lines, tells of the bridge, closes', { timeout: 60000 * TIME_FACTOR }, async (t) => {
  bridge.reset();
  const lines = [];
  let seen = () => {};
  // A logger that fails on the first start-up line: the 'error' listener of the next line gets it.
  const bus = sim.open({ ...FAST, console: (line, level) => { if (lines.push(`${level} ${line}`) === 1) throw new Error('logger fault'); seen(line); } });
  const errors = [];
  bus.on('error', (e) => errors.push(e.message));
  t.after(() => bus.close());
  assert.throws(() => sim.open(FAST), { code: 'QEL_ALREADY_OPEN', message: 'QEL Driver -- The driver is already open in this process; close it first' });
  const statuses = bus[Symbol.asyncIterator]();
  bus.once('status', () => { throw new Error('listener fault'); });
  bridge.receive(bridge.frame(0x4a1, [1]));
  const { value } = await statuses.next();
  assert.deepEqual([value.msg_id, hex(value.msg_data)], [0x4a1, '0100000000000000']);
  assert.deepEqual(errors, ['logger fault', 'listener fault']);
  assert.equal(await bus.send({ readCfg: 'one', parameter: 42, copLight: true, copLightColor: true }), undefined);
  assert.equal(lastWrite(), '30000004e0000008001b2a0000000000cf');
  await bus.writeParameter(3, [1, 2]);
  assert.equal(lastWrite(), '30000005600000080301020000000000' + '73');
  assert.ok(lines.includes(`info ${msg('CMD_SENT')}`) && lines.includes(`info ${msg('PARAM_WRITTEN')}`), lines.join('\n'));
  // Frames written while the main thread is busy settle at one wake-up:
  // in call order, a refused one among them, each after its frame's line.
  const results = () => lines.filter((l) => l === `info ${msg('CMD_SENT')}` || l === `error ${msg('SEND_FAILED')}`).length;
  const before = results();
  const settled = [];
  bridge.failWrites(1, 1);
  const batch = Array.from({ length: 8 }, (_, i) => bus.send({ tft: i }).then(() => `sent ${i}`, (e) => `${e.code} ${e.busCode} ${i}`)
    .then((outcome) => settled.push([outcome, results() - before > i])));
  for (const end = Date.now() + 20; Date.now() < end;);  // the transmit thread writes them meanwhile
  await Promise.all(batch);
  assert.deepEqual(settled, [['QEL_SEND_FAILED 1 0', true], ...Array.from({ length: 7 }, (_, i) => [`sent ${i + 1}`, true])]);
  const down = once(bus, 'bridgeDown');
  const up = once(bus, 'bridgeUp');
  bridge.failReads(5, 1);
  await down;
  assert.deepEqual(await up, [5], 'the bridge answers again after 5 failed reads');
  const said = (text) => lines.some((l) => l.endsWith(` ${text}`));
  assert.ok(said(msg('BRIDGE_LOST')) && said(msg('BRIDGE_SET_UP_AGAIN', 5)), lines.join('\n'));
  // No 'error' listener now: a listener's fault is printed with its stack.
  bus.removeAllListeners('error');
  const stackLine = /^ {4}at Bus\.throwing \(.*open\.test\.js:\d+:\d+\)$/;
  const printed = new Promise((resolve) => { seen = (line) => stackLine.test(line) && resolve(); });
  bus.once('status', function throwing() { throw new Error('no error listener'); });
  bridge.receive(bridge.frame(0x4a1, [2]));
  await printed;
  assert.equal((await statuses.next()).value.msg_data[0], 2);
  const details = lines.findIndex((l) => l.endsWith(msg('CALLBACK_EXCEPTION_DETAILS', 'Error: no error listener')));
  assert.match(lines[details + 1].replace(/^\w+ /, ''), stackLine);
  const closed = once(bus, 'close');
  await bus.close();
  await closed;
  assert.deepEqual(await statuses.next(), { value: undefined, done: true });
  assert.throws(() => bus.read(0x4a1), { code: 'QEL_CLOSED' });
  // Each line's level is its message's: a log fault is an error, both lines
  // of a dump are debug.
  const logPath = bridge.logPath;
  bridge.setLogPath('/nonexistent-qel/qel_cc_log.txt');
  lines.length = 0;
  const debugBus = sim.open({ ...FAST, debug: true, console: (line, level) => lines.push(`${level} ${line}`) });
  bridge.receive(bridge.frame(0x4a1, [7]));
  await once(debugBus, 'status');
  await debugBus.close();
  bridge.setLogPath(logPath);
  const at = lines.indexOf(`info ${msg('DEBUG_ENABLED')}`);
  assert.deepEqual(lines.slice(at + 2, at + 4), [`error ${msg('LOG_OPEN_FAILED')}`,
    `error ${msg('LOG_OPEN_REASON', '/nonexistent-qel/qel_cc_log.txt', 'No such file or directory')}`]);
  const dump = lines.findIndex((l) => l.startsWith(`debug ${msg('RECEIVED_PREFIX', 0x4a1)}`));
  assert.match(lines[dump + 1], /^debug QEL Driver -- Checksum = /);
  // logPath names this start's log file, relative to the working folder.
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'qel-open-log-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  const log = path.join(dir, 'lift.log');
  lines.length = 0;
  const logBus = sim.open({ ...FAST, debug: true, logPath: path.relative(process.cwd(), log), console: (line, level) => lines.push(`${level} ${line}`) });
  bridge.receive(bridge.frame(0x4a1, [1]));
  await once(logBus, 'status');
  await logBus.close();
  assert.ok(lines.includes(`info ${msg('LOG_FILE', log)}`), lines.join('\n'));
  assert.match(fs.readFileSync(log, 'utf8'), /^QEL Driver Log File\n[^]*: MsgID = 0x4a1, data = 01, timestamp = \d+\n$/);
  // A start that fails is the system's fault, and its message says why; what the logger threw meanwhile is a warning.
  bridge.failInit(true);
  const warned = once(process, 'warning');
  assert.throws(() => sim.open({ ...FAST, console: () => { throw new Error('logger down'); } }), { name: 'Error', code: KERNEL ? 'EACCES' : 'QEL_START_FAILED', reason: msg('INIT_FAILED'),
    message: `${msg('START_FAILED')}: ${msg('INIT_FAILED').slice('QEL Driver -- '.length)}`, ...(KERNEL && { errno: -13, syscall: 'open' }) });
  bridge.failInit(false);
  assert.equal((await warned)[0].message, 'logger down');
  sim.registerCallback(() => {});
  sim.driverStart(0, 1000, 0, 2000, undefined, undefined, false);
  assert.throws(() => sim.open(FAST), { code: 'QEL_ALREADY_STARTED' });
  sim.driverStop();
});

test('the two faces mixed: registerCallback while open is refused; driverStop closes the object and ends its loops', async () => {
  const bus = sim.open({ ...FAST, console: false });
  assert.throws(() => sim.registerCallback(() => {}), { name: 'Error', code: 'QEL_BUS_OPEN',
    message: 'QEL Driver -- The driver is open as an object (open()): its status objects are its \'status\' events; listen there, or close() it before registerCallback' });
  const closed = once(bus, 'close');
  const loop = (async () => { const seen = []; for await (const s of bus) seen.push(s.msg_data[0]); return seen; })();
  bridge.receive(bridge.frame(0x4a1, [9]));
  await once(bus, 'status');
  const pending = bus.send({ tft: 3 });
  sim.driverStop();
  assert.match(await pending.then(() => 'sent', (e) => e.code), /^(sent|QEL_CLOSED)$/, 'driverStop settles what was queued');
  assert.equal(bus.closed, true);
  assert.deepEqual(await loop, [9]);
  await closed;
  assert.throws(() => bus.read(0x4a1), { code: 'QEL_CLOSED' });
  // The add-on's own face works again, and a second driverStop does nothing.
  sim.registerCallback(() => {});
  sim.driverStop();
  await sim.open(FAST).close();
});

test('send and writeParameter queue: frames in call order, each once, beside the receive loop; a full queue refused, close() settles the rest', async (t) => {
  bridge.reset();
  t.after(() => bridge.busSpeed(0));
  const bus = sim.open({ ...FAST, console: false });
  t.after(() => bus.close());
  const frames = () => bridge.writes().filter((w) => w.bytes[0] === 0x30).map((w) => hex(w.bytes));
  const expected = [];
  const calls = [];
  for (let i = 0; i < 40; i++) {
    calls.push(i % 4 === 3 ? bus.writeParameter(i, [i, 7]) : bus.send({ tft: i }));
    expected.push(hex(i % 4 === 3 ? transmitFrame(0x05, 0x60, [i, i, 7, 0, 0, 0, 0, 0]) : transmitFrame(0x04, 0xe0, [i, 0, 0])));
  }
  assert.deepEqual(await Promise.all(calls), Array(40).fill(undefined));
  assert.deepEqual(frames(), expected);
  // read() gives readStatus's object from the slot's own copy, cleared ones too.
  bridge.receive(bridge.frame(0x4a1, [5, 6]));
  await once(bus, 'status');
  // The receive loop goes on counting empty polls between two reads, so
  // that one count is left out of the comparison.
  const slot = ({ driver_stats: stats, ...rest }) => [rest, { ...stats, empty: 0 }];
  assert.deepEqual(slot(bus.read(0x4a1)), slot(sim.readStatus(0x4a1)));
  assert.equal(bus.read(0x4a1).counter, 1);
  sim.clearMem(false, 0x4a1);
  assert.deepEqual([slot(bus.read(0x4a1)), bus.read(0x4a1).counter], [slot(sim.readStatus(0x4a1)), 0]);
  // A refused write rejects its own promise only, with sendCommand's text.
  bridge.failWrites(1, 1);
  const failed = bus.send({ tft: 1 });
  // On the kernel's path the system says why: EREMOTEIO, no acknowledge.
  await assert.rejects(failed, (e) => e.name === 'Error' && e.code === 'QEL_SEND_FAILED' && e.message === msg('SEND_FAILED') && e.busCode === 1 &&
    (KERNEL ? getSystemErrorName(e.errno) === 'EREMOTEIO' && e.syscall === 'write' : e.errno === undefined));
  await bus.writeParameter(2);
  // A slow bus: 64 frames wait, the 65th is refused at once and never written;
  // close() lets the frame being written finish and rejects the others.
  bridge.busSpeed(5000);
  const before = bridge.writes().length;
  const waiting = Array.from({ length: 64 }, (_, i) => bus.send({ tft: i }).then(() => 'sent', (e) => e.code));
  await assert.rejects(bus.send({ tft: 99 }), { name: 'Error', code: 'QEL_QUEUE_FULL', message: 'QEL Driver -- 64 frames already wait for the bus; await some before sending more' });
  await bus.close();
  const outcomes = await Promise.all(waiting);
  const sent = outcomes.filter((o) => o === 'sent').length;
  assert.deepEqual(outcomes, [...Array(sent).fill('sent'), ...Array(64 - sent).fill('QEL_CLOSED')]);
  assert.ok(sent < 64, 'close() does not wait for the queue');
  assert.deepEqual(bridge.writes().slice(before).filter((w) => w.bytes[0] === 0x30).map((w) => w.bytes[8]), [...Array(sent).keys()]);
  assert.equal(bridge.state().overlaps, 0, 'one transfer at a time');
});

const NAMES = 'i2cDelay, canBusDelay, heartbeat, debounce, enabledIds, cyclicIds, debug, console, logPath';
const KNOWN = '0x1a1, 0x2a1, 0x3a1, 0x421, 0x4a1, 0x2a2, 0x2c0, 0x2c1, 0x2c4, 0x2c5, 0x2c8, 0x2c9, 0x4e0';
const FIELDS = 'tft, readCfg, parameter, copLight, copLightColor';
const BYTES = 'The parameter value must be at most 7 bytes: an array of integers from 0 to 255, or a Uint8Array';
// [method, arguments, class, code, message after "QEL Driver -- "]
const REFUSED = [
  ['open', [{ heartbeet: 0 }], TypeError, 'QEL_BAD_OPTION', `Unknown option 'heartbeet' (did you mean heartbeat?); the options are ${NAMES}`],
  ['open', [{ i2cDelay: -1 }], RangeError, 'QEL_BAD_OPTION', 'Option i2cDelay must be an integer from 0 to 2147483647 µs, not -1'],
  ['open', [{ canBusDelay: '20000' }], TypeError, 'QEL_BAD_OPTION', 'Option canBusDelay must be an integer from 0 to 2147483647 µs, not \'20000\''],
  ['open', [{ debounce: 2 ** 31 }], RangeError, 'QEL_BAD_OPTION', 'Option debounce must be an integer from 0 to 2147483647 ms, not 2147483648'],
  ['open', [{ enabledIds: [0x1a1, 0x1a2] }], RangeError, 'QEL_UNKNOWN_ID', `Option enabledIds: 418 (0x1a2) is no identifier of the driver's; it knows ${KNOWN}`],
  ['open', [{ cyclicIds: 0x1a1 }], TypeError, 'QEL_BAD_OPTION', 'Option cyclicIds must be an array of CAN identifiers, not 417'],
  ['open', [{ debug: 1 }], TypeError, 'QEL_BAD_OPTION', 'Option debug must be a boolean, not 1'],
  ['open', [{ console: true }], TypeError, 'QEL_BAD_OPTION', 'Option console must be \'stdout\', false or a function, not true'],
  ['open', [{ logPath: 42 }], TypeError, 'QEL_BAD_OPTION', 'Option logPath must be a file path (a non-empty string), not 42'],
  ['open', [{ logPath: `/${'x'.repeat(4095)}` }], RangeError, 'QEL_BAD_OPTION', 'Option logPath must be at most 4095 bytes long, not 4096'],
  ['open', [null], TypeError, 'QEL_BAD_OPTION', 'open() expects an object, not null'],
  ['send', [{ tft: 256 }], RangeError, 'QEL_BAD_COMMAND', 'tft must be an integer from 0 to 255, not 256'],
  ['send', [{ tfd: 1 }], TypeError, 'QEL_BAD_COMMAND', `Unknown command field 'tfd' (did you mean tft?); the command fields are ${FIELDS}`],
  ['send', [{ readCfg: 'one' }], RangeError, 'QEL_BAD_COMMAND', 'readCfg \'one\' needs a parameter number from 0 to 255'],
  ['send', [{ readCfg: 'all', parameter: 3 }], RangeError, 'QEL_BAD_COMMAND', 'parameter is sent only with readCfg \'one\''],
  ['send', [{ copLight: 1 }], TypeError, 'QEL_BAD_COMMAND', 'copLight must be a boolean, not 1'],
  ['send', [{}], TypeError, 'QEL_BAD_COMMAND', 'send() sets nothing with {}; set tft, readCfg, copLight or copLightColor: true'],
  ['writeParameter', [256], RangeError, 'QEL_BAD_COMMAND', 'The parameter number must be an integer from 0 to 255, not 256'],
  ['writeParameter', [1, [1, 2, 3, 4, 5, 6, 7, 8]], RangeError, 'QEL_BAD_COMMAND', `${BYTES}, not [ 1, 2, 3, 4, 5, 6, 7, 8 ]`],
  ['read', [0x123], RangeError, 'QEL_UNKNOWN_ID', `read(): 291 (0x123) is no identifier of the driver's; it knows ${KNOWN}`],
];

test('every mistake is refused with its class, code and message before anything reaches the bridge', async (t) => {
  bridge.reset();
  const bus = sim.open(FAST);
  t.after(() => bus.close());
  const written = bridge.writes().length;
  for (const [method, args, Type, code, text] of REFUSED) {
    assert.throws(() => (method === 'open' ? sim.open(...args) : bus[method](...args)),
      (e) => e.constructor === Type && e.code === code && e.message === `QEL Driver -- ${text}`, `${method} ${text}`);
  }
  assert.equal(bridge.writes().length, written);
});

test('a for-await loop 1024 status objects behind drops the oldest and counts them', async (t) => {
  const bus = sim.open({ ...FAST, console: false });
  t.after(() => bus.close());
  const statuses = bus[Symbol.asyncIterator]();
  for (let i = 1; i <= 1030; i++) {
    bridge.receive(bridge.frame(0x4a1, [i & 0xff]));
    await once(bus, 'status');
  }
  assert.deepEqual([statuses.dropped, bus.dropped, (await statuses.next()).value.counter], [6, 6, 7]);
});

const fds = () => fs.readdirSync('/proc/self/fd').length;
const threads = () => Number(/^Threads:\s+(\d+)/m.exec(fs.readFileSync('/proc/self/status', 'utf8'))[1]);
const CONSOLE = Symbol.for('corvalith.console');

test('1000 restarts with other settings, debug log included, leave descriptors, threads and memory as they were', async (t) => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'qel-open-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  bridge.setLogPath(path.join(dir, 'qel_cc_log.txt'));
  const cycle = async (i) => {
    const id = [0x4a1, 0x2c0, 0x1a1][i % 3];
    const bus = sim.open({ ...FAST, heartbeat: i % 2 ? 0 : 1000, enabledIds: [id], debug: i % 10 === 0, console: false });
    bridge.receive(bridge.frame(id, [i & 0xff, i >> 8]));
    const [status] = await once(bus, 'status');
    assert.equal(status.msg_id, id);
    await bus.close();
  };
  await cycle(0);
  const before = { fds: fds(), threads: threads(), rss: process.memoryUsage().rss, lines: sim[CONSOLE]().lines };
  for (let i = 1; i <= 1000; i++) await cycle(i);
  // A thread that the last close joined may still be listed for a moment
  // on a slow (emulated) machine: wait for the count, with a deadline.
  for (const end = Date.now() + 10000 * TIME_FACTOR; Date.now() < end && (fds() !== before.fds || threads() !== before.threads);) {
    await new Promise((r) => setTimeout(r, 50));
  }
  const after = { fds: fds(), threads: threads(), rss: process.memoryUsage().rss, lines: sim[CONSOLE]().lines };
  t.diagnostic(`before ${JSON.stringify(before)}, after ${JSON.stringify(after)}`);
  assert.deepEqual([after.fds, after.threads], [before.fds, before.threads]);
  assert.ok(after.rss - before.rss < 32 * 2 ** 20, 'resident memory grew by less than 32 MiB');
  assert.ok(after.lines > before.lines + 1000, 'silenced lines are counted');
});

test('a node --test file that opens, receives and closes ends by itself', async () => {
  const node = nodeCommand();
  // The file run as a program of its own, not a subtest of this run's (as
  // node --test runs each file; run this way, an emulated Node starts no
  // process of its own).
  const { NODE_TEST_CONTEXT, ...env } = process.env;
  const args = [...node.args, '--test-reporter=tap', '--test-name-pattern=^open: ', __filename];
  const child = spawn(node.file, args, { env, stdio: 'pipe' });
  let output = '';
  child.stdout.on('data', (d) => { output += d; });
  const timer = setTimeout(() => child.kill('SIGKILL'), 60000 * TIME_FACTOR);
  const [code, signal] = await once(child, 'exit');
  clearTimeout(timer);
  assert.deepEqual([code, signal], [0, null], output);
  assert.match(output, /^# pass 1$/m);
});
