'use strict';
// driverStart: its checks, the settings it applies, the bridge bring-up with
// its console lines, the failures a start can meet and the retry after them.
// Every driver lifetime runs in a child process of its own.
const { describe, test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawnSync } = require('child_process');
const { msg, MSG, format, KERNEL } = require('../helpers/catalogue');
const { blocks, runScenario, NO_REAL, root } = require('../helpers/scenario');

// Shared by the children: `attempt` calls driverStart after printing a
// marker line, so the parent can cut the output into one block per call.
const CHILD = `
const outcomes = {};
function attempt(label, ...args) {
  console.log('#' + label);
  try {
    const r = qel.driverStart(...args);
    outcomes[label] = { ok: true, returned: r === undefined ? 'undefined' : String(r) };
  } catch (e) {
    outcomes[label] = { ok: false, type: e && e.constructor && e.constructor.name, message: e && e.message };
  }
}
const U = undefined;
const isHeartbeat = (w) => w.bytes.length === 17 && w.bytes[0] === 0x30 && w.bytes[3] === 0x07 && w.bytes[4] === 0x60;
const registerWrites = () => bridge.writes().filter((w) => w.bytes.length < 17).map((w) => [...w.bytes]);
`;

const DEFAULT_IDS = [[0x1a1, 1], [0x2a1, 0], [0x3a1, 1], [0x4a1, 0], [0x2a2, 0], [0x2c0, 0],
  [0x2c1, 0], [0x2c4, 0], [0x2c5, 0], [0x2c8, 0], [0x2c9, 0]];

function listening(entries) {
  return msg('LISTENING_PREFIX') + entries.map(([id, cyclic]) => msg('LISTENING_ENTRY', id, cyclic)).join('');
}

// The lines of driver_start up to and including the debug-mode line.
function bringUp(delays, ids = DEFAULT_IDS) {
  return [
    msg('STARTING', ...delays),
    listening(ids),
    msg('CLOCK_DIVIDER', 626),
    msg('SLAVE_ADDRESS', 0x25),
    msg('FRAME_LEN', 16),
    msg('DEBUG_MODE', 0),
  ];
}

const failed = (message) => ({ ok: false, type: 'TypeError', message });
const OK = { ok: true, returned: 'undefined' };

// driverStart's refusals, [arguments, refusal], in the order of its checks:
// with no function registered, then the count before any type, then each
// argument's type; and once started, whatever the arguments.
const UNREGISTERED = [['1', 'NO_CALLBACK']];
const REFUSED = [
  ['', 'EXPECTED_7_ARGS'], ['1, 2, 3, 4, [], []', 'EXPECTED_7_ARGS'], ['1, 2, 3, 4, [], [], true, 8', 'EXPECTED_7_ARGS'],
  ['null, null, null, null, null, null, null, null', 'EXPECTED_7_ARGS'],
  ["'1', U, U, U, U, U, U", 'START_ARG1'], ['null, U, U, U, U, U, U', 'START_ARG1'], ["null, null, 'x', {}, 5, 6, 7", 'START_ARG1'],
  ['1, true, U, U, U, U, U', 'START_ARG2'], ['1, null, U, U, U, U, U', 'START_ARG2'],
  ["1, 2, '3', U, U, U, U", 'START_ARG3'], ['1, 2, 3n, U, U, U, U', 'START_ARG3'],
  ['1, 2, 3, {}, U, U, U', 'START_ARG4'], ['1, 2, 3, new Number(4), U, U, U', 'START_ARG4'],
  ['1, 2, 3, 4, null, U, U', 'START_ARG5'], ['1, 2, 3, 4, Buffer.from([0x01, 0xa1]), U, U', 'START_ARG5'],
  ['1, 2, 3, 4, new Uint16Array([0x1a1]), U, U', 'START_ARG5'], ['1, 2, 3, 4, { length: 1, 0: 0x1a1 }, U, U', 'START_ARG5'],
  ['1, 2, 3, 4, 0x1a1, U, U', 'START_ARG5'],
  ['1, 2, 3, 4, [0x1a1], null, U', 'START_ARG6'], ['1, 2, 3, 4, [0x1a1], new Int32Array([0x1a1]), U', 'START_ARG6'],
  ['1111, 2222, 3333, 4444, [0x1a1], [0x2a1], 1', 'START_ARG7'], ['1111, 2222, 3333, 4444, [0x1a1], [0x2a1], null', 'START_ARG7'],
  ["1111, 2222, 3333, 4444, [0x1a1], [0x2a1], 'true'", 'START_ARG7'],
];
const STARTED = [['', 'ALREADY_STARTED'], ['0, 1000, 1000, 10, [0x4e0], [], true', 'ALREADY_STARTED'],
  ['null, null, null, null, null, null, null', 'ALREADY_STARTED']];
// Each call is labelled with its arguments, once started with 'again' before them.
const label = (args, again) => `${again ? 'again' : ''}(${args})`;
const attempts = (table, again) => table.map(([args]) => `attempt(${JSON.stringify(label(args, again))}${args && `, ${args}`});`).join('\n');

describe('driver start-up', { concurrency: 4 }, () => {
  test('argument checks in order; refused calls print nothing and change nothing; defaults on a fresh process; no second start', async () => {
    const r = await runScenario(`${CHILD}
      ${attempts(UNREGISTERED)}
      qel.registerCallback(() => {});
      ${attempts(REFUSED)}
      const writesBefore = bridge.writes().length;
      const stateBefore = bridge.state();
      bridge.baudReadback([0x0f]);
      attempt('start', U, U, U, U, U, U, U);
      const stateAfter = bridge.state();
      await until(() => bridge.writes().some(isHeartbeat));
      const registersAfterStart = registerWrites();
      ${attempts(STARTED, true)}
      console.log('#end');
      // The first start's 20 ms poll pause stays in force.
      const r0 = bridge.reads();
      const t0 = bridge.now();
      await wait(300);
      await until(() => bridge.reads() - r0 >= 3);
      const polls = bridge.reads() - r0;
      const windowMs = bridge.now() - t0;
      done({ outcomes, writesBefore, stateBefore, stateAfter, registersAfterStart,
        registersAtEnd: registerWrites(), polls, windowMs, readStatus: qel.readStatus(0x1a1).counter });
    `, { timeout: 20000 });
    const { result } = r;
    const o = result.outcomes;
    const b = blocks(r.lines);
    // Refused calls print nothing and touch no hardware.
    assert.deepEqual(b[''], []);
    for (const [args, name, again] of [...UNREGISTERED, ...REFUSED, ...STARTED.map((c) => [...c, true])]) {
      assert.deepEqual(o[label(args, again)], failed(msg(name)), label(args, again));
      assert.deepEqual(b[label(args, again)], [], label(args, again));
    }
    assert.equal(msg('EXPECTED_7_ARGS'), 'QEL Driver -- Expected 7 arguments');
    assert.equal(msg('START_ARG4'), 'QEL Driver -- Expected an integer or undefined as the forth argument');
    assert.equal(msg('ALREADY_STARTED'), 'QEL Driver -- The driver is already started');
    assert.equal(result.writesBefore, 0);
    assert.equal(result.stateBefore.initialized, false);

    // The successful start shows the defaults: nothing a refused call held was applied.
    assert.deepEqual(o.start, OK);
    assert.deepEqual(b.start, [
      ...bringUp([50000, 20000, 500000, 2000]),
      msg('BAUD_OK', 0x0f),
      msg('SELECT_OK'),
      msg('HB_STARTING', 500000),
    ]);
    assert.equal(b.start[6], 'QEL Driver -- CAN Bus BAUD speed = 250000 (0xf)');
    assert.deepEqual(result.stateAfter, { initialized: true, i2cOpen: true, slaveAddress: 0x25, clockDivider: KERNEL ? 0 : 626, overlaps: 0 });
    assert.deepEqual(result.registersAfterStart, [[0x03, 0x0f], [0x03], [0x40]]);

    // A second start is refused before its count and types and changes nothing.
    assert.deepEqual(b.end, []);
    assert.deepEqual(result.registersAtEnd, result.registersAfterStart, 'no second bring-up');
    assert.ok(result.polls <= result.windowMs / 20 + 2, `${result.polls} polls in ${result.windowMs.toFixed(0)} ms at 20 ms`);
  });

  test('numbers use the 32-bit integer conversion; a failed start keeps the settings it applied', async () => {
    const r = await runScenario(`${CHILD}
      qel.registerCallback(() => {});
      bridge.failInit(true);
      attempt('wrap', Infinity, -Infinity, 2 ** 31, 3 * 2 ** 32 + 2000.5, U, U, U);
      attempt('plus-5', 2 ** 32 + 5, U, U, U, U, U, U);
      attempt('convert', 1.7, 2 ** 32 + 1000, NaN, -1.5, U, U, U);
      bridge.failInit(false);
      attempt('keep', U, U, U, U, U, U, U);
      const r0 = bridge.reads();
      const polled = await until(() => bridge.reads() - r0 >= 20, 30000).catch(() => false);
      done({ outcomes, polled, polls: bridge.reads() - r0, heartbeats: bridge.writes().filter(isHeartbeat).length });
    `, { timeout: 60000 });
    const o = r.result.outcomes;
    const b = blocks(r.lines);
    assert.deepEqual(o.wrap, failed(msg('START_FAILED')));
    assert.deepEqual(b.wrap, [msg('STARTING', 0, 0, -2147483648, 2000), listening(DEFAULT_IDS), msg('INIT_FAILED')]);
    assert.deepEqual(o['plus-5'], failed(msg('START_FAILED')));
    assert.deepEqual(b['plus-5'], [msg('STARTING', 5, 0, -2147483648, 2000), listening(DEFAULT_IDS), msg('INIT_FAILED')]);
    assert.deepEqual(o.convert, failed(msg('START_FAILED')));
    assert.deepEqual(b.convert, [msg('STARTING', 1, 1000, 0, -1), listening(DEFAULT_IDS), msg('INIT_FAILED')]);
    assert.equal(b.convert[0], 'QEL Driver -- starting with I2C Delay Cycle=1us, CAN BUS Delay Cycle=1000us, HEARTBIT Delay Cycle=0us, DEBOUNCING=-1ms');
    assert.deepEqual(o.keep, OK);
    assert.deepEqual(b.keep, [...bringUp([1, 1000, 0, -1]), msg('BAUD_OK', 0x0f), msg('SELECT_OK'), msg('HB_DISABLED')]);
    assert.ok(r.result.polled, `20 polls at 1 ms: ${r.result.polls}`);
    assert.equal(r.result.heartbeats, 0);
  });

  test('negative i2c and CAN bus delays are printed as given and pause for 0', async () => {
    const r = await runScenario(`${CHILD}
      qel.registerCallback(() => {});
      const t0 = Date.now();
      attempt('start', -3, -20000, 2 ** 32 + 20000, 300.9, U, U, U);
      const startMs = Date.now() - t0;
      await until(() => bridge.writes().some(isHeartbeat));
      const r0 = bridge.reads();
      const h0 = bridge.writes().filter(isHeartbeat).length;
      const beats = () => bridge.writes().filter(isHeartbeat).length - h0;
      const reached = await until(() => bridge.reads() - r0 >= 100 && beats() >= 4, 30000).catch(() => false);
      done({ outcomes, startMs, reached, polls: bridge.reads() - r0, heartbeats: beats() });
    `, { timeout: 60000 });
    const b = blocks(r.lines);
    assert.deepEqual(r.result.outcomes.start, OK);
    assert.deepEqual(b.start, [...bringUp([-3, -20000, 20000, 300]), msg('BAUD_OK', 0x0f), msg('SELECT_OK'), msg('HB_STARTING', 20000)]);
    assert.ok(r.result.startMs < 3000, `start-up took ${r.result.startMs} ms`);
    assert.ok(r.result.reached, `${r.result.polls} polls without a pause, ${r.result.heartbeats} heartbeats at 20 ms beside them`);
  });

  test('identifier arrays: unlisted identifiers, holes, conversions, throwing elements, one table at a time', async () => {
    const r = await runScenario(`${CHILD}
      qel.registerCallback(() => {});
      bridge.failInit(true);
      attempt('defaults', 0, 1000, 0, 300, U, U, U);
      attempt('two', U, U, U, U, [0x1a1, 0x2a1], U, U);
      attempt('unlisted', U, U, U, U, [0x700, 0xfff, 0x123, -1], U, U);
      attempt('empty', U, U, U, U, [], U, U);
      const sparse = [];
      sparse[5] = 0x4a1;
      sparse.length = 9;
      attempt('holes', U, U, U, U, [, , 0x2c0], U, U);
      attempt('holes-2', U, U, U, U, sparse, U, U);
      // Length 2^32 - 1: two elements of its own, one inherited from its prototype.
      const huge = Object.setPrototypeOf([], Object.assign([], { 3e9: 0x4a1 }));
      Object.assign(huge, { 5: 0x1a1, [2 ** 32 - 2]: 0x2a1 });
      attempt('huge', U, U, U, U, huge, U, U);
      attempt('three', U, U, U, U, [0x1a1, 0x3a1, 0x4a1], U, U);
      attempt('cyclic-empty', U, U, U, U, U, [], U);
      attempt('cyclic-set', U, U, U, U, U, [0x4a1, 0x4a1, 0x1a1, 0x760, 0x2c9], U);
      const tricky = [0x1a1];
      Object.defineProperty(tricky, 1, { get() { throw new Error('getter'); }, enumerable: true });
      tricky.push({ valueOf() { throw new Error('valueOf'); } }, { valueOf() { return 0x2a1; } }, 2 ** 32 + 0x2c9, 0x3a1 + 0.9, 0x4e0, 0x421);
      attempt('tricky', U, U, U, U, tricky, [0x2c9, 0x2c9, { get valueOf() { throw new Error('x'); } }, 0x421], U);
      bridge.failInit(false);
      attempt('start', U, U, U, U, U, U, U);
      // 0x421 and 0x4e0 are enabled now (0x4e0 an event, 0x421 cyclic); 0x2c0 is not.
      const got = [];
      qel.registerCallback((s) => got.push([s.msg_id, s.counter]));
      // One frame at a time, each delivered before the next arrives.
      const feed = async (f) => {
        bridge.receive(f);
        await until(() => bridge.pending() === 0);
        const r0 = bridge.reads();
        await until(() => bridge.reads() >= r0 + 2);
        await wait(15);
      };
      await feed(frame(0x2c0, [1]));
      await feed(frame(0x421, [1]));
      await feed(frame(0x421, [1]));
      await feed(frame(0x4e0, [2]));
      await feed(frame(0x4e0, [2]));
      done({ outcomes, got, c2c0: qel.readStatus(0x2c0).counter, c421: qel.readStatus(0x421).counter });
    `, { timeout: 20000 });
    const o = r.result.outcomes;
    const b = blocks(r.lines);
    const failedStart = (ids) => [msg('STARTING', 0, 1000, 0, 300), listening(ids), msg('INIT_FAILED')];
    const cases = {
      defaults: DEFAULT_IDS,
      two: [[0x1a1, 1], [0x2a1, 0]],
      unlisted: [],
      empty: [],
      holes: [[0x2c0, 0]],
      'holes-2': [[0x4a1, 0]],
      huge: [[0x1a1, 1], [0x2a1, 0], [0x4a1, 0]],
      three: [[0x1a1, 1], [0x3a1, 1], [0x4a1, 0]],
      'cyclic-empty': [[0x1a1, 0], [0x3a1, 0], [0x4a1, 0]],
      'cyclic-set': [[0x1a1, 1], [0x3a1, 0], [0x4a1, 1]],
      tricky: [[0x1a1, 0], [0x2a1, 0], [0x3a1, 0], [0x421, 1], [0x2c9, 1], [0x4e0, 0]],
    };
    for (const [label, ids] of Object.entries(cases)) {
      assert.deepEqual(o[label], failed(msg('START_FAILED')), label);
      assert.deepEqual(b[label], failedStart(ids), label);
    }
    assert.equal(b.unlisted[1], 'QEL Driver -- listening for IDs: ');
    assert.deepEqual(o.start, OK);
    assert.deepEqual(b.start, [...bringUp([0, 1000, 0, 300], cases.tricky), msg('BAUD_OK', 0x0f), msg('SELECT_OK'), msg('HB_DISABLED')]);
    assert.deepEqual(r.result.got, [[0x421, 1], [0x4e0, 1], [0x4e0, 2]]);
    assert.equal(r.result.c2c0, 0, 'a disabled slot records nothing');
    assert.equal(r.result.c421, 2);
  });

  test('bring-up failures (bcm2835_init, bit rate, receive register) close the bridge, start no thread, and a retry starts exactly one of each', async () => {
    const r = await runScenario(`${CHILD}
      qel.registerCallback(() => {});
      const states = {}; const regs = {}; const quiet = {};
      const after = async (label) => {
        states[label] = bridge.state();
        regs[label] = registerWrites();
        await wait(60);
        quiet[label] = { reads: bridge.reads(), transmits: bridge.writes().filter((w) => w.bytes.length === 17).length };
      };
      // The kernel's path drives a Pi 5 as any other board.
      if (${!KERNEL}) {
        const model = require('path').join(require('os').tmpdir(), 'qel-model-' + process.pid);
        require('fs').writeFileSync(model, 'Raspberry Pi 5 Model B Rev 1.0\\0');
        bridge.boardModelFile(model);
        attempt('board', 0, 20000, 20000, 300, U, U, U);
        await after('board');
        bridge.boardModelFile('');
        require('fs').unlinkSync(model);
      }
      bridge.failInit(true);
      attempt('init', 0, 20000, 20000, 300, U, U, U);
      await after('init');
      bridge.failInit(false);
      bridge.baudReadback([0x0e, 0x0e]);
      attempt('baud', U, U, U, U, U, U, U);
      await after('baud');
      let readStatusAfterFailure;
      try { qel.readStatus(0x1a1); } catch (e) { readStatusAfterFailure = e.message; }
      bridge.failSelect(9);
      attempt('select', U, U, U, U, U, U, U);
      await after('select');
      bridge.failSelect(0);
      bridge.baudReadback([0x0e, 0x0f]);
      attempt('retry', U, U, U, U, U, U, U);
      states.retry = bridge.state();
      regs.retry = registerWrites();
      // One heartbeat thread and one receive thread, each at its 20 ms period.
      await until(() => bridge.writes().some(isHeartbeat));
      await wait(50);
      const t0 = bridge.now();
      const r0 = bridge.reads();
      const beatsSince = () => bridge.writes().filter((w) => isHeartbeat(w) && w.time >= t0).length;
      await wait(400);
      await until(() => beatsSince() >= 3 && bridge.reads() - r0 >= 3, 30000);
      const r1 = bridge.reads();
      const t1 = bridge.now();
      const beats = bridge.writes().filter(isHeartbeat).map((w) => w.time).filter((t) => t >= t0 && t <= t1);
      done({ outcomes, states, regs, quiet, readStatusAfterFailure, beats, windowMs: t1 - t0, polls: r1 - r0 });
    `, { timeout: 60000 });
    const { result } = r;
    const o = result.outcomes;
    const b = blocks(r.lines);
    const closed = { initialized: false, i2cOpen: false };
    const pick = (s) => ({ initialized: s.initialized, i2cOpen: s.i2cOpen });

    if (!KERNEL) {
      assert.deepEqual(o.board, failed(msg('START_FAILED')));
      assert.deepEqual(b.board, [msg('STARTING', 0, 20000, 20000, 300), listening(DEFAULT_IDS),
        msg('BOARD_UNSUPPORTED', 'Raspberry Pi 5 Model B Rev 1.0')]);
      assert.deepEqual(pick(result.states.board), closed);
      assert.deepEqual(result.regs.board, []);
    }

    assert.deepEqual(o.init, failed(msg('START_FAILED')));
    assert.deepEqual(b.init, [msg('STARTING', 0, 20000, 20000, 300), listening(DEFAULT_IDS), msg('INIT_FAILED')]);
    if (!KERNEL) assert.equal(b.init[2], 'QEL Driver -- bcm2835_init failed. Are you running as root??');
    assert.deepEqual(pick(result.states.init), closed);
    assert.deepEqual(result.regs.init, []);

    assert.deepEqual(o.baud, failed(msg('START_FAILED')));
    assert.deepEqual(b.baud, [...bringUp([0, 20000, 20000, 300]), msg('BAUD_FAILED', 0x0e)]);
    assert.equal(b.baud[6], 'QEL Driver -- Error setting CAN Bus BAUD speed to 250000, value in register 0x03 = 0xe');
    assert.deepEqual(pick(result.states.baud), closed);
    assert.deepEqual(result.regs.baud, [[0x03, 0x0f], [0x03], [0x03, 0x0f], [0x03]]);
    assert.equal(result.readStatusAfterFailure, msg('NOT_STARTED_READ'));

    assert.deepEqual(o.select, failed(msg('START_FAILED')));
    assert.deepEqual(b.select, [...bringUp([0, 20000, 20000, 300]), msg('BAUD_OK', 0x0f), msg('SELECT_FAILED')]);
    assert.deepEqual(pick(result.states.select), closed);
    assert.deepEqual(result.regs.select.slice(4), [[0x03, 0x0f], [0x03], [0x40]]);

    for (const label of [...(KERNEL ? [] : ['board']), 'init', 'baud', 'select']) {
      assert.deepEqual(result.quiet[label], { reads: 0, transmits: 0 }, `no thread runs after the ${label} failure`);
    }

    assert.deepEqual(o.retry, OK);
    assert.deepEqual(b.retry, [...bringUp([0, 20000, 20000, 300]), msg('SELECT_OK'), msg('HB_STARTING', 20000)],
      'a second bit-rate write that reads back 0x0f prints no bit-rate line');
    assert.deepEqual(result.states.retry, { initialized: true, i2cOpen: true, slaveAddress: 0x25, clockDivider: KERNEL ? 0 : 626, overlaps: 0 });
    assert.deepEqual(result.regs.retry.slice(7), [[0x03, 0x0f], [0x03], [0x03, 0x0f], [0x03], [0x40]]);

    const expected = result.windowMs / 20;
    assert.ok(result.beats.length <= expected + 2,
      `${result.beats.length} heartbeats in ${result.windowMs.toFixed(0)} ms at 20 ms`);
    const gaps = result.beats.slice(1).map((t, i) => t - result.beats[i]);
    assert.ok(Math.min(...gaps) >= 19, `heartbeat gaps ${gaps.map((g) => g.toFixed(1)).join(' ')}`);
    assert.ok(result.polls <= expected + 2, `${result.polls} polls in ${result.windowMs.toFixed(0)} ms at 20 ms`);
  });

  // Where qel.node is not built, the simulated flavour reads the same file
  // on its bcm2835 path.
  test(`${NO_REAL ? 'simulated flavour reading /proc/device-tree/model' : 'real flavour'} on a PC without /dev/mem: banner, listening line, not a Raspberry Pi, Error starting the driver`,
    { skip: !NO_REAL && fs.existsSync('/dev/mem') && 'this machine has /dev/mem' }, async () => {
      const r = await runScenario(`${CHILD}
        if (bridge) bridge.boardModelFile('/proc/device-tree/model');
        qel.registerCallback(() => {});
        attempt('start', 0, 1000, 20000, 300, [0x2c0, 0x1a1], U, U);
        attempt('again', U, U, U, U, U, U, U);
        let read;
        try { qel.readStatus(0x1a1); } catch (e) { read = e.message; }
        done({ outcomes, read });
      `, { flavour: NO_REAL ? 'sim' : 'real', env: { QEL_SIM_BUS: '' }, timeout: 20000 });
      const b = blocks(r.lines);
      assert.deepEqual(r.result.outcomes.start, failed(msg('START_FAILED')));
      assert.equal(msg('START_FAILED'), 'QEL Driver -- Error starting the driver');
      assert.deepEqual(b.start, [msg('STARTING', 0, 1000, 20000, 300), listening([[0x1a1, 1], [0x2c0, 0]]),
        msg('NOT_A_PI', '/proc/device-tree/model')]);
      assert.deepEqual(r.result.outcomes.again, failed(msg('START_FAILED')), 'a failed start may be tried again');
      assert.deepEqual(b.again, b.start);
      assert.equal(r.result.read, msg('NOT_STARTED_READ'));
    });
  test('every thrown error carries a code to branch on: one row per code, each in a process of its own', async () => {
    const START = 'qel.registerCallback(() => {}); qel.driverStart(0, 1000, 0, 300, U, U, U)';
    const ROWS = [
      // [code, flavour, environment, set-up, the call that throws]
      ['QEL_BAD_ARGUMENT', 'sim', {}, '', 'qel.registerCallback(1)'],
      ['QEL_NO_CALLBACK', 'sim', {}, '', 'qel.driverStart(U, U, U, U, U, U, U)'],
      ['QEL_NOT_STARTED', 'sim', {}, '', 'qel.readStatus(0x1a1)'],
      [KERNEL ? 'EACCES' : 'QEL_START_FAILED', 'sim', {}, 'bridge.failInit(true)', START],
      ['QEL_ALREADY_STARTED', 'sim', {}, START, 'qel.driverStart(U, U, U, U, U, U, U)'],
      ['QEL_SEND_FAILED', 'sim', {}, `${START}; bridge.failWrites(1, 4)`, 'qel.sendCommand(1)'],
      ['ENOENT', 'i2c-dev', { QEL_I2C_DEVICE: path.join(os.tmpdir(), 'qel-no-such-dir', 'i2c-9') }, '', START],
    ];
    const codes = await Promise.all(ROWS.map(async ([, flavour, env, setUp, call]) => (await runScenario(`${CHILD}
      ${setUp};
      try { ${call}; done(null); } catch (e) { done([e.constructor.name, e.code]); }`, { flavour, env })).result));
    assert.deepEqual(codes, ROWS.map(([code]) => ['TypeError', code]));
  });
  // The child as nobody must be able to read the clone: a clone in a folder
  // only root may enter (mktemp -d) cannot serve it.
  const nobodyReads = () => spawnSync('setpriv', ['--reuid=nobody', '--regid=nogroup', '--clear-groups', 'test', '-r', path.join(root, 'i2c-dev.js')]).status === 0;
  test('kernel flavour: a missing device names its path and how to enable I2C, a device the user may not open its group',
    { skip: (process.getuid() !== 0 && 'running a child as nobody needs root') || (!nobodyReads() && `nobody may not read ${root}`) }, async () => {
      const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'qel-i2c-'));
      fs.chmodSync(dir, 0o755);
      const device = path.join(dir, 'i2c-1');
      fs.writeFileSync(device, '', { mode: 0 });
      fs.chownSync(device, 0, 100);
      const group = spawnSync('getent', ['group', '100'], { encoding: 'utf8' }).stdout.split(':')[0];
      const body = `${CHILD} qel.registerCallback(() => {}); attempt('start', 0, 1000, 20000, 300, U, U, U); done({ outcomes });`;
      const run = (env, prefix) => runScenario(body, { flavour: 'i2c-dev', env, prefix });
      const missing = await run({ QEL_I2C_DEVICE: path.join(dir, 'i2c-9') });
      const denied = await run({ QEL_I2C_DEVICE: device }, ['setpriv', '--reuid=nobody', '--regid=nogroup', '--clear-groups']);
      const plain = fs.existsSync('/dev/i2c-1') ? null : await run({ QEL_I2C_DEVICE: '' });
      fs.rmSync(dir, { recursive: true });
      assert.deepEqual(blocks(missing.lines).start.slice(2), [format(MSG.I2C_DEV_MISSING, path.join(dir, 'i2c-9'))]);
      assert.deepEqual(blocks(denied.lines).start.slice(2), [format(MSG.I2C_DEV_DENIED, device, group, group)]);
      if (plain) assert.deepEqual(blocks(plain.lines).start.slice(2), [format(MSG.I2C_DEV_MISSING, '/dev/i2c-1')]);
      for (const r of [missing, denied, plain].filter(Boolean)) assert.deepEqual(r.result.outcomes.start, failed(MSG.START_FAILED));
    });
});
