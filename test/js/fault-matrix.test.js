'use strict';
// Every place where a bcm2835 call can fail, driven through the simulated
// bridge at the JavaScript surface: the exact console lines and error of
// each failure, and a driver that is healthy afterwards (after a failed
// start, a retry starts; after a runtime failure, the next frame reaches the
// callback and the next command reaches the bus).
const { describe, test } = require('node:test');
const assert = require('node:assert/strict');
const { msg, MSG, KERNEL } = require('../helpers/catalogue');
const { frame, transmitFrame } = require('../helpers/frames');
const { blocks, runScenario } = require('../helpers/scenario');

// Shared by every child. `mark` cuts the output into blocks; `attempt`
// records how a call ended; `health(tag)` sends an event frame and a
// command that both carry `tag`, and reports what came out.
const CHILD = `
const got = [];
qel.registerCallback((s) => got.push({ id: s.msg_id, data: [...s.msg_data], counter: s.counter }));
const outcomes = {};
const mark = (label) => console.log('#' + label);
function attempt(label, fn) {
  mark(label);
  try {
    const v = fn();
    outcomes[label] = { ok: true, returned: v === undefined ? 'undefined' : String(v) };
  } catch (e) {
    outcomes[label] = { ok: false, type: e && e.constructor && e.constructor.name, message: e && e.message };
  }
}
const U = undefined;
const start = (label, { hb = 0, debug = false } = {}) => attempt(label, () => qel.driverStart(0, 1000, hb, 300, U, U, debug));
const is17 = (w, hi, lo) => w.bytes.length === 17 && w.bytes[0] === 0x30 && w.bytes[3] === hi && w.bytes[4] === lo;
const isCommand = (w) => is17(w, 0x04, 0xe0);
const isParameter = (w) => is17(w, 0x05, 0x60);
const isHeartbeat = (w) => is17(w, 0x07, 0x60);
const registerWrites = () => bridge.writes().filter((w) => w.bytes.length < 17).map((w) => [...w.bytes]);
const transmits = (pred) => bridge.writes().filter(pred).map((w) => ({ hex: w.bytes.toString('hex'), code: w.code }));
const stats = () => qel.readStatus(0xffd).driver_stats;
async function health(tag) {
  const from = got.length;
  const writesBefore = bridge.writes().filter(isCommand).length;
  // A driver call writes out what the threads queued for the console, so
  // that none of it lands in the health block.
  stats();
  mark('health');
  bridge.receive(frame(0x4a1, [tag, 0xa5, 0x5a]));
  await until(() => got.length > from);
  attempt('command', () => qel.sendCommand(tag));
  mark('end');
  return { delivered: got.slice(from), commands: transmits(isCommand).slice(writesBefore) };
}
`;

const DEFAULT_IDS = [[0x1a1, 1], [0x2a1, 0], [0x3a1, 1], [0x4a1, 0], [0x2a2, 0], [0x2c0, 0],
  [0x2c1, 0], [0x2c4, 0], [0x2c5, 0], [0x2c8, 0], [0x2c9, 0]];
const OK = { ok: true, returned: 'undefined' };
const failed = (name) => ({ ok: false, type: 'TypeError', message: msg(name) });
const hex = (bytes) => Buffer.from(bytes).toString('hex');

const transmitBytes = (idHigh, idLow, data) => [...transmitFrame(idHigh, idLow, data)];
const commandFrame = (tft) => transmitBytes(0x04, 0xe0, [tft & 0xff]);
const parameterFrame = (num, values) => transmitBytes(0x05, 0x60, [num & 0xff, ...values]);
const dumpLine = (name, bytes) => msg(name, bytes[3] * 256 + bytes[4]) + bytes.map((b) => msg('DUMP_BYTE', b)).join('');

// The start-up lines up to the debug-mode line, with the delays of `start`.
function bringUp({ hb = 0, debug = false } = {}) {
  return [
    msg('STARTING', 0, 1000, hb, 300),
    msg('LISTENING_PREFIX') + DEFAULT_IDS.map(([id, c]) => msg('LISTENING_ENTRY', id, c)).join(''),
    msg('CLOCK_DIVIDER', 626),
    msg('SLAVE_ADDRESS', 0x25),
    msg('FRAME_LEN', 16),
    msg('DEBUG_MODE', debug ? 1 : 0),
  ];
}
// What a successful start prints after the receive register line; the
// heartbeat thread's own start line comes at a moment of its own and is
// checked apart.
const started = (opts = {}) => (opts.debug ? [msg('DEBUG_ENABLED'), msg('LOG_FILE', require('../../sim').bridge.logPath)] : []);

// Lines that other threads print at moments of their own: the heartbeat
// thread's start line and, in debug mode, the dump of a reported frame.
const HB_LINE = (l) => l === msg('HB_DISABLED') || l.startsWith(MSG.HB_STARTING.split('%')[0]);
const DUMP_LINE = (l) => l.startsWith(MSG.RECEIVED_PREFIX.split('%')[0]) || l.startsWith(MSG.RECEIVED_SUFFIX.slice(1).split('%')[0]);

// The driver after a fault: the event frame tagged `tag` was delivered whole
// (and dumped in debug mode), and the command tagged `tag` was written once,
// successfully, with its console lines.
function assertHealthy(r, b, tag, debug) {
  const { delivered, commands } = r.result.health;
  const data = [tag, 0xa5, 0x5a, 0, 0, 0, 0, 0];
  assert.equal(delivered.length, 1, 'one delivery');
  assert.deepEqual(delivered[0], { id: 0x4a1, data, counter: delivered[0].counter }, 'the next frame reaches the callback');
  assert.ok(delivered[0].counter >= 1);
  assert.deepEqual(commands, [{ hex: hex(commandFrame(tag)), code: 0 }], 'the next command is written');
  assert.deepEqual(r.result.outcomes.command, OK);
  assert.deepEqual(b.health, []);
  assert.deepEqual(b.command, [msg('CMD_TFT', tag), ...(debug ? [dumpLine('CMD_DUMP', commandFrame(tag))] : []), msg('CMD_SENT')]);
  const dumps = r.lines.filter(DUMP_LINE);
  if (!debug) return assert.deepEqual(dumps, []);
  const f = frame(0x4a1, data.slice(0, 3));
  const stamp = /timestamp = (\d+),/.exec(dumps[1] || '');
  assert.ok(stamp, dumps.join('\n'));
  assert.deepEqual(dumps, [
    msg('RECEIVED_PREFIX', 0x4a1) + data.map((x) => msg('RECEIVED_BYTE', x)).join(''),
    msg('RECEIVED_SUFFIX', f[15], f[15], delivered[0].counter, stamp[1], 4).slice(1),
  ]);
}

// One row per failure place. `body` runs in a child after CHILD and ends
// with done({ outcomes, health, ... }); `check` gets the result and the
// output cut into blocks.
const rows = [
  {
    name: 'bcm2835_init fails, or only bcm2835_i2c_begin (non-root with /dev/gpiomem): its line, bridge closed; a retry starts',
    body: `
      bridge.failInit(true);
      start('fail');
      const closed = bridge.state();
      start('fail-again');
      bridge.failInit(false);
      bridge.failBegin(true);
      start('begin');
      const closedBegin = bridge.state();
      bridge.failBegin(false);
      start('retry');
      done({ outcomes, closed, closedBegin, regs: registerWrites(), health: await health(TAG) });`,
    check(r, b) {
      const failLines = [bringUp()[0], bringUp()[1], msg('INIT_FAILED')];
      if (!KERNEL) assert.equal(failLines[2], 'QEL Driver -- bcm2835_init failed. Are you running as root??');
      for (const label of ['fail', 'fail-again']) {
        assert.deepEqual(r.result.outcomes[label], failed('START_FAILED'), label);
        assert.deepEqual(b[label], failLines, label);
      }
      assert.equal(r.result.closed.initialized, false);
      assert.deepEqual(r.result.outcomes.begin, failed('START_FAILED'));
      assert.deepEqual(b.begin, [...failLines.slice(0, 2), msg('I2C_BEGIN_FAILED')]);
      assert.deepEqual([r.result.closedBegin.initialized, r.result.closedBegin.i2cOpen], [false, false]);
      assert.deepEqual(r.result.outcomes.retry, OK);
      assert.deepEqual(b.retry, [...bringUp(), msg('BAUD_OK', 0x0f), msg('SELECT_OK'), ...started()]);
      assert.deepEqual(r.result.regs, [[0x03, 0x0f], [0x03], [0x40]], 'only the retry touched the registers');
    },
  },
  {
    name: 'bit-rate read-back wrong once: written and read again, no bit-rate line, start succeeds',
    body: `
      bridge.baudReadback([0x0e, 0x0f]);
      start('start');
      done({ outcomes, regs: registerWrites(), health: await health(TAG) });`,
    check(r, b) {
      assert.deepEqual(r.result.outcomes.start, OK);
      assert.deepEqual(b.start, [...bringUp(), msg('SELECT_OK'), ...started()]);
      assert.deepEqual(r.result.regs, [[0x03, 0x0f], [0x03], [0x03, 0x0f], [0x03], [0x40]]);
    },
  },
  {
    name: 'bit-rate read-back wrong twice (a wrong value, nothing read, 0xff): error line with the last value; a retry starts',
    body: `
      const closed = [];
      for (const [label, values] of [['e', [0x0e, 0x0e]], ['zero', [0x00, 0x00]], ['mixed', [0xff, 0x07]]]) {
        bridge.baudReadback(values);
        start(label);
        closed.push(bridge.state());
      }
      const regsAfterFailures = registerWrites();
      bridge.baudReadback([]);
      start('retry');
      done({ outcomes, closed, regsAfterFailures, regs: registerWrites(), health: await health(TAG) });`,
    check(r, b) {
      for (const [label, value] of [['e', 0x0e], ['zero', 0x00], ['mixed', 0x07]]) {
        assert.deepEqual(r.result.outcomes[label], failed('START_FAILED'), label);
        assert.deepEqual(b[label], [...bringUp(), msg('BAUD_FAILED', value)], label);
      }
      assert.equal(b.e[6], 'QEL Driver -- Error setting CAN Bus BAUD speed to 250000, value in register 0x03 = 0xe');
      assert.ok(b.zero[6].endsWith('value in register 0x03 = 0x0'), b.zero[6]);
      for (const s of r.result.closed) assert.deepEqual([s.initialized, s.i2cOpen], [false, false]);
      const twice = [[0x03, 0x0f], [0x03], [0x03, 0x0f], [0x03]];
      assert.deepEqual(r.result.regsAfterFailures, [...twice, ...twice, ...twice], 'no receive register selected');
      assert.deepEqual(r.result.outcomes.retry, OK);
      assert.deepEqual(b.retry, [...bringUp(), msg('BAUD_OK', 0x0f), msg('SELECT_OK'), ...started()]);
    },
  },
  {
    name: 'selecting the receive register fails (codes 1 and 0xff): select line, Error starting the driver; a retry starts',
    body: `
      const closed = [];
      for (const code of [1, 0xff]) {
        bridge.failSelect(code);
        start('code-' + code);
        closed.push(bridge.state());
      }
      bridge.failSelect(0);
      start('retry');
      done({ outcomes, closed, regs: registerWrites(), health: await health(TAG) });`,
    check(r, b) {
      for (const label of ['code-1', 'code-255']) {
        assert.deepEqual(r.result.outcomes[label], failed('START_FAILED'), label);
        assert.deepEqual(b[label], [...bringUp(), msg('BAUD_OK', 0x0f), msg('SELECT_FAILED')], label);
      }
      assert.equal(b['code-1'][7], 'QEL Driver -- Error selecting RECV register');
      for (const s of r.result.closed) assert.deepEqual([s.initialized, s.i2cOpen], [false, false]);
      const once = [[0x03, 0x0f], [0x03], [0x40]];
      assert.deepEqual(r.result.regs, [...once, ...once, ...once]);
      assert.deepEqual(r.result.outcomes.retry, OK);
      assert.deepEqual(b.retry, [...bringUp(), msg('BAUD_OK', 0x0f), msg('SELECT_OK'), ...started()]);
    },
  },
  ...[false, true].map((debug) => ({
    name: `receive reads fail (debug ${debug}): counted in err, ${debug ? 'one line each with the code' : 'silent'}, retried after the poll pause, the bridge set up again`,
    debug,
    body: `
      start('start', { debug: ${debug} });
      await until(() => bridge.reads() > 0);
      const before = stats();
      mark('faults');
      const r0 = bridge.reads();
      bridge.failReads(3, ${debug ? 0x21 : 0x04});
      await until(() => stats().err === before.err + 3);
      await until(() => bridge.reads() >= r0 + 5);
      const after = qel.readStatus(0xffd);
      done({ outcomes, before, after: { counter: after.counter, stats: after.driver_stats }, health: await health(TAG) });`,
    check(r, b) {
      assert.deepEqual(r.result.outcomes.start, OK);
      assert.deepEqual(b.start, [...bringUp({ debug }), msg('BAUD_OK', 0x0f), msg('SELECT_OK'), ...started({ debug })]);
      assert.equal(r.result.before.err, 0);
      assert.deepEqual(r.result.after, { counter: 3, stats: { ...r.result.after.stats, err: 3 } });
      const failed = msg('READ_FAILED', 0x21);
      const around = [msg('BRIDGE_LOST'), msg('BRIDGE_SET_UP_AGAIN', 3)];
      assert.deepEqual(b.faults, debug ? [failed, around[0], failed, failed, around[1]] : around);
      if (debug && !KERNEL) assert.equal(b.faults[0], 'QEL Driver -- Error reading the I2C bus, error code = 0x21');
    },
  })),
  ...[false, true].map((debug) => ({
    name: `heartbeat writes fail (debug ${debug}): ${debug ? 'one line each' : 'silent'}, the heartbeat goes on`,
    debug,
    hb: 20000,
    body: `
      start('start', { hb: 20000, debug: ${debug} });
      await until(() => bridge.writes().some(isHeartbeat));
      mark('faults');
      bridge.failWrites(3, 9);
      // The heartbeat thread may write between any two lines here: the
      // five beats looked at start with the first failed one.
      const firstFailed = () => transmits(isHeartbeat).findIndex((b) => b.code === 9);
      await until(() => firstFailed() >= 0);
      const n0 = firstFailed();
      await until(() => bridge.writes().filter(isHeartbeat).length >= n0 + 5);
      const beats = transmits(isHeartbeat).slice(n0, n0 + 5);
      done({ outcomes, beats, health: await health(TAG) });`,
    check(r, b) {
      const hbFrame = '30 00 00 07 60 00 00 01 00 00 00 00 00 00 00 00 68'.replace(/ /g, '');
      assert.deepEqual(r.result.outcomes.start, OK);
      assert.deepEqual(b.start, [...bringUp({ hb: 20000, debug }), msg('BAUD_OK', 0x0f), msg('SELECT_OK'), ...started({ hb: 20000, debug })]);
      assert.deepEqual(r.result.beats, [9, 9, 9, 0, 0].map((code) => ({ hex: hbFrame, code })));
      assert.deepEqual(b.faults, debug ? Array(3).fill(msg('HB_FAILED')) : []);
      assert.equal(msg('HB_FAILED'), 'QEL Driver -- Error sending the Heartbit');
    },
  })),
  ...[false, true].map((debug) => ({
    name: `command writes fail (debug ${debug}): failure line, Error sending the command thrown; the next command goes out`,
    debug,
    body: `
      start('start', { debug: ${debug} });
      bridge.failWrites(2, 4);
      attempt('fail-1', () => qel.sendCommand(5));
      attempt('fail-2', () => qel.sendCommand(44, 0, 0));
      attempt('next', () => qel.sendCommand(6));
      done({ outcomes, commands: transmits(isCommand), health: await health(TAG) });`,
    check(r, b) {
      const o = r.result.outcomes;
      const dump = (f) => (debug ? [dumpLine('CMD_DUMP', f)] : []);
      const c300 = transmitBytes(0x04, 0xe0, [0x2c, 0x06]);
      assert.deepEqual(o['fail-1'], failed('SEND_FAILED'));
      assert.deepEqual(b['fail-1'], [msg('CMD_TFT', 5), ...dump(commandFrame(5)), msg('SEND_FAILED')]);
      assert.deepEqual(o['fail-2'], failed('SEND_FAILED'));
      assert.deepEqual(b['fail-2'], [msg('CMD_TFT', 44), msg('CMD_READ_CFG_ALL'), msg('CMD_COP_OFF', 0), ...dump(c300), msg('SEND_FAILED')]);
      assert.equal(msg('SEND_FAILED'), 'QEL Driver -- Error sending the command');
      assert.deepEqual(o.next, OK);
      assert.deepEqual(b.next, [msg('CMD_TFT', 6), ...dump(commandFrame(6)), msg('CMD_SENT')]);
      assert.deepEqual(r.result.commands.slice(0, 3), [
        { hex: hex(commandFrame(5)), code: 4 }, { hex: hex(c300), code: 4 }, { hex: hex(commandFrame(6)), code: 0 }]);
    },
  })),
  ...[false, true].map((debug) => ({
    name: `parameter writes fail (debug ${debug}): failure line, Error writing the parameter thrown; the next write goes out`,
    debug,
    body: `
      start('start', { debug: ${debug} });
      bridge.failWrites(1, 0x21);
      attempt('fail', () => qel.writeParameter(3, Buffer.from([1, 2])));
      attempt('next', () => qel.writeParameter(255, Buffer.from([9])));
      done({ outcomes, parameters: transmits(isParameter), health: await health(TAG) });`,
    check(r, b) {
      const o = r.result.outcomes;
      const p3 = parameterFrame(3, [1, 2]);
      const pm1 = parameterFrame(255, [9]);
      const dump = (f) => (debug ? [dumpLine('PARAM_DUMP', f)] : []);
      assert.deepEqual(o.fail, failed('PARAM_FAILED'));
      assert.equal(msg('PARAM_FAILED'), 'QEL Driver -- Error writing the parameter');
      assert.deepEqual(b.fail, [msg('PARAM_NUM', 3), ...dump(p3), msg('SEND_FAILED')]);
      assert.deepEqual(o.next, OK);
      assert.deepEqual(b.next, [msg('PARAM_NUM', 255), ...dump(pm1), msg('PARAM_WRITTEN')]);
      assert.deepEqual(r.result.parameters, [{ hex: hex(p3), code: 0x21 }, { hex: hex(pm1), code: 0 }]);
    },
  })),
];

describe('fault matrix: every bcm2835 failure, its lines and error, and a healthy driver after it', { concurrency: 4 }, () => {
  rows.forEach((row, i) => {
    test(row.name, async () => {
      const tag = 0x11 * (i + 1);
      const r = await runScenario(`${CHILD}\nconst TAG = ${tag};\n${row.body}`, { timeout: 20000, debugLog: !!row.debug });
      const quiet = r.lines.filter((l) => !HB_LINE(l) && !DUMP_LINE(l));
      const b = blocks(quiet);
      assert.deepEqual(b[''], []);
      row.check(r, b);
      assert.deepEqual(r.lines.filter(HB_LINE), [row.hb ? msg('HB_STARTING', row.hb) : msg('HB_DISABLED')],
        'one heartbeat thread, started once');
      assertHealthy(r, b, tag, !!row.debug);
      assert.equal(r.stderr, '');
    });
  });
});

// Standard output is a place of failure too: a reader that falls behind for
// a moment must still get every line of the functions, whole and in order,
// after the application's own earlier lines (which fill the pipe first,
// so that the stream holds them).
test('a full standard-output pipe loses no console line of a function, nor puts one before the application\'s earlier lines', async () => {
  const { spawn } = require('child_process');
  const { nodeCommand, root, TIME_FACTOR } = require('../helpers/scenario');
  const N = 3000;
  const source = `
    const qel = require(${JSON.stringify(`${root}/sim`)});
    qel.registerCallback(() => {});
    console.log('#go');
    qel.driverStart(0, 1000, 0, 300, undefined, undefined, false);
    for (let i = 0; i < 100; i++) console.log('#app ' + i + ' ' + 'x'.repeat(1000));
    for (let i = 0; i < ${N}; i++) qel.sendCommand(i % 256);
    process.stdout.write('#end\\n', () => process.exit(0));
  `;
  const node = nodeCommand();
  const child = spawn(node.file, [...node.args, '-e', source], { cwd: root, stdio: ['ignore', 'pipe', 'pipe'] });
  let out = '';
  let err = '';
  child.stdout.pause();
  setTimeout(() => child.stdout.resume(), 1000);
  child.stdout.on('data', (d) => { out += d; });
  child.stderr.on('data', (d) => { err += d; });
  const timer = setTimeout(() => child.kill('SIGKILL'), 30000 * TIME_FACTOR);
  const code = await new Promise((resolve) => child.on('close', resolve));
  clearTimeout(timer);
  assert.equal(code, 0, err);
  const lines = out.split('\n').filter((l) => l !== '');
  const commands = lines.slice(lines.indexOf('#go') + 1).filter((l) => l.startsWith(MSG.CMD_TFT.split('%')[0]) || l === msg('CMD_SENT'));
  const expected = [];
  for (let i = 0; i < N; i++) expected.push(msg('CMD_TFT', i % 256), msg('CMD_SENT'));
  assert.equal(commands.filter((l) => l === msg('CMD_SENT')).length, N, 'every success line arrives');
  assert.deepEqual(commands, expected, 'every line whole and in order');
  const apps = lines.filter((l) => l.startsWith('#app '));
  assert.deepEqual(apps, Array.from({ length: 100 }, (_, i) => `#app ${i} ${'x'.repeat(1000)}`), 'the application\'s lines whole');
  assert.ok(lines.indexOf(apps[99]) < lines.indexOf(msg('CMD_TFT', 0)), 'the first command\'s line after the application\'s earlier lines');
  assert.equal(lines[lines.length - 1], '#end');
});
