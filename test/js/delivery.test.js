'use strict';
// Status objects, readStatus, simulate and clearMem on a running driver, and
// the delivery of changes to the registered function. Every driver lifetime
// runs in a child process of its own.
const { describe, test } = require('node:test');
const assert = require('node:assert/strict');
const { msg } = require('../helpers/catalogue');
const { runScenario } = require('../helpers/scenario');

// Shared by the children. `feed` queues frames and returns once the bridge
// has handed them all over, two more polls have passed and the main loop
// has had time to deliver what they changed.
const CHILD = `
const U = undefined;
async function feed(...frames) {
  for (const f of frames) bridge.receive(f);
  await until(() => bridge.pending() === 0);
  const r = bridge.reads();
  await until(() => bridge.reads() >= r + 2);
  await wait(15 * TIME_FACTOR);
}
const brief = (s) => [s.timestamp, s.counter, s.msg_id, [...s.msg_data]];
function outcome(fn) {
  try {
    const r = fn();
    return 'returned ' + (r === undefined ? 'undefined' : typeof r);
  } catch (e) {
    return e.constructor.name + ': ' + e.message;
  }
}
`;

const ZERO = [0, 0, 0, 0, 0, 0, 0, 0];
const threw = (name) => `TypeError: ${msg(name)}`;
const withoutHeartbeat = (lines) => lines.filter((l) => l !== msg('HB_DISABLED'));
const after = (lines, marker) => withoutHeartbeat(lines.slice(lines.indexOf(marker) + 1));

// Refusals of a running driver, [arguments, refusal], in the order of the
// checks: the count, then each argument's type, then its value.
const REFUSED = {
  readStatus: [['', 'INT_ARG1'], ['U', 'INT_ARG1'], ['null', 'INT_ARG1'], ["'417'", 'INT_ARG1'], ['new Number(417)', 'INT_ARG1'],
    ['1, 2', 'AT_MOST_1'], ["'x', 2", 'AT_MOST_1']],
  simulate: [['Buffer.alloc(16)', 'BUFFER_15'], ['Buffer.alloc(14)', 'BUFFER_15'], ['Array(15).fill(0)', 'BUFFER_ARG1'],
    ['', 'BUFFER_ARG1'], ['null', 'BUFFER_ARG1'], ['simBytes(0x4a1, [1]), 1', 'AT_MOST_1'], ['[1], 2', 'AT_MOST_1']],
  clearMem: [['', 'EXPECTED_2_ARGS'], ['true', 'EXPECTED_2_ARGS'], ['true, U, 1', 'EXPECTED_2_ARGS'], ['1, U', 'BOOL_ARG1'],
    ["'true', U", 'BOOL_ARG1'], ['null, 5', 'BOOL_ARG1'], ['1, null', 'BOOL_ARG1'], ['true, null', 'NUMBER_ARG2'],
    ["true, '704'", 'NUMBER_ARG2']],
};
// The child's source of those calls, an array of their outcomes; and what it must hold.
const refusals = (name) => `[${REFUSED[name].map(([args]) => `outcome(() => qel.${name}(${args}))`).join(', ')}]`;
const refused = (name) => REFUSED[name].map(([args, m]) => [args, threw(m)]);
const labelled = (name, outcomes) => REFUSED[name].map(([args], i) => [args, outcomes[i]]);

describe('status objects and delivery', { concurrency: 4 }, () => {
  test('status object: keys in order, timestamp a decimal string, msg_data an 8-byte copy', async () => {
    const r = await runScenario(`${CHILD}
      const shape = (s) => ({
        keys: Object.keys(s),
        statsKeys: Object.keys(s.driver_stats),
        plain: Object.getPrototypeOf(s) === Object.prototype && Object.getPrototypeOf(s.driver_stats) === Object.prototype,
        types: [typeof s.timestamp, typeof s.counter, typeof s.msg_id, Buffer.isBuffer(s.msg_data), s.msg_data.length,
          ...Object.values(s.driver_stats).map((v) => Number.isInteger(v))],
        ownStore: Object.getPrototypeOf(s.msg_data) === Buffer.prototype && s.msg_data.byteOffset === 0 && s.msg_data.buffer.byteLength === 8,
      });
      const seen = [];
      qel.registerCallback((s) => { seen.push({ s, now: Date.now(), shape: shape(s), data: [...s.msg_data] }); s.msg_data[0] = 0xee; s.counter = 99; });
      qel.driverStart(0, 1000, 0, 300, U, U, U);
      const fresh = qel.readStatus(0x2c0);
      await feed(frame(0x4a1, [1, 2, 3, 0x84, 5, 6, 0x7f, 0xf8]));
      const s1 = qel.readStatus(0x4a1);
      const s1again = qel.readStatus(0x4a1);
      const distinct = s1.msg_data !== s1again.msg_data && s1 !== s1again && s1.driver_stats !== s1again.driver_stats;
      s1again.msg_data.fill(0x77);
      await feed(frame(0x4a1, [9, 9]));
      const s2 = qel.readStatus(0x4a1);
      done({
        fresh: { shape: shape(fresh), value: brief(fresh), stats: fresh.driver_stats },
        delivered: seen.map((x) => ({ shape: x.shape, data: x.data, ts: x.s.timestamp, now: x.now })),
        s1: brief(s1), s2: brief(s2), distinct,
      });
    `);
    const { fresh, delivered, s1, s2 } = r.result;
    const keys = ['timestamp', 'counter', 'msg_id', 'msg_data', 'driver_stats'];
    const statsKeys = ['hb', 'unk', 'empty', 'err'];
    const types = ['string', 'number', 'number', true, 8, true, true, true, true];
    for (const shape of [fresh.shape, ...delivered.map((d) => d.shape)]) {
      assert.deepEqual(shape, { keys, statsKeys, plain: true, types, ownStore: true });
    }
    assert.deepEqual(fresh.value, ['0', 0, 0, ZERO], 'a slot without frames');
    assert.deepEqual({ ...fresh.stats, empty: 0 }, { hb: 0, unk: 0, empty: 0, err: 0 });

    assert.equal(delivered.length, 2);
    for (const d of delivered) {
      assert.match(d.ts, /^[1-9][0-9]{12}$/);
      assert.ok(Math.abs(Number(d.ts) - d.now) < 5000, `timestamp ${d.ts} at ${d.now}`);
    }
    assert.deepEqual(delivered[0].data, [1, 2, 3, 0x84, 5, 6, 0x7f, 0xf8]);
    assert.deepEqual(s1, [delivered[0].ts, 1, 0x4a1, [1, 2, 3, 0x84, 5, 6, 0x7f, 0xf8]], 'changing a delivered object changes no slot');
    assert.ok(r.result.distinct, 'every status object has its own buffer and statistics object');
    assert.deepEqual(delivered[1].data, [9, 9, 0, 0, 0, 0, 0, 0], 'later deliveries are unaffected by changes to earlier objects');
    assert.deepEqual(s2, [delivered[1].ts, 2, 0x4a1, [9, 9, 0, 0, 0, 0, 0, 0]]);
  });

  test('readStatus and simulate: argument checks, statistics slots, identifier conversion', async () => {
    const r = await runScenario(`${CHILD}
      qel.registerCallback(() => {});
      qel.driverStart(0, 1000, 0, 300, U, U, U);
      await feed(frame(0x123, [1]), frame(0x123, [2]), frame(0x456, [1]), frame(0x765, [1]),
        frame(0x1a1, [1], { badChecksum: true }), frame(0x1a1, [5, 6]));
      const checks = ${refusals('readStatus')};
      const slots = {
        unk: qel.readStatus(0x123),
        hb: qel.readStatus(0x7a5),
        err: qel.readStatus(0xffd),
        wrapped: qel.readStatus(2 ** 32 + 0x1a1),
        fraction: qel.readStatus(0x1a1 + 0.9),
        minus: qel.readStatus(-1),
      };
      console.log('#simulate-checks');
      const sim = ${refusals('simulate')};
      await feed();
      await feed();
      console.log('#simulate');
      const valid = outcome(() => qel.simulate(simBytes(0x2a1, [3])));
      await until(() => qel.readStatus(0x2a1).counter === 1, 3000);
      console.log('#end');
      const view = (s) => ({ value: brief(s), stats: s.driver_stats });
      done({ checks, sim, valid, slots: Object.fromEntries(Object.entries(slots).map(([k, s]) => [k, view(s)])) });
    `);
    const { checks, sim, valid, slots } = r.result;
    assert.deepEqual(labelled('readStatus', checks), refused('readStatus'));
    assert.equal(msg('INT_ARG1'), 'QEL Driver -- Expected an integer as the first argument');
    assert.deepEqual(slots.unk.value, ['0', 3, 0, ZERO]);
    assert.equal(slots.unk.stats.unk, 3);
    assert.deepEqual(slots.hb.value, ['0', 1, 0, ZERO]);
    assert.equal(slots.hb.stats.hb, 1);
    assert.deepEqual(slots.err.value, ['0', 1, 0, ZERO]);
    assert.equal(slots.err.stats.err, 1);
    for (const k of ['wrapped', 'fraction']) {
      assert.deepEqual(slots[k].value.slice(1), [1, 0x1a1, [5, 6, 0, 0, 0, 0, 0, 0]], k);
    }
    assert.deepEqual(slots.minus.value, ['0', 3, 0, ZERO], '-1 reads as 0xffffffff: the "unk" slot');

    assert.deepEqual(labelled('simulate', sim), refused('simulate'));
    assert.equal(valid, 'returned undefined');
    assert.equal(msg('BUFFER_15'), 'QEL Driver -- Expected a buffer of 15 bytes');
    const lines = withoutHeartbeat(r.lines);
    assert.deepEqual(lines.slice(lines.indexOf('#simulate-checks') + 1, lines.indexOf('#simulate')), [], 'a refused simulate leaves nothing pending');
    assert.deepEqual(after(r.lines, '#simulate').slice(0, 1), [msg('SIMULATING')]);
  });

  test('clearMem: checks, keeping counters, single slots, statistics slots, negative and wrapped identifiers', async () => {
    const r = await runScenario(`${CHILD}
      const got = [];
      qel.registerCallback((s) => got.push([s.msg_id, s.counter]));
      qel.driverStart(0, 1000, 0, 300, U, U, U);
      const populate = () => feed(frame(0x1a1, [1]), frame(0x2c0, [2]), frame(0x4a1, [3]), frame(0x765, [1]), frame(0x765, [1]),
        frame(0x123, [1]), frame(0x2c1, [1], { badChecksum: true }));
      const snap = () => {
        const s = { s0: qel.readStatus(0x1a1), s6: qel.readStatus(0x2c0), s4: qel.readStatus(0x4a1) };
        const st = s.s4.driver_stats;
        return { s0: brief(s.s0), s6: brief(s.s6), s4: brief(s.s4), hb: st.hb, unk: st.unk, err: st.err, empty: st.empty };
      };
      await populate();
      const checks = ${refusals('clearMem')};
      const s = { start: snap() };
      const ret = {};
      ret.keep6 = outcome(() => qel.clearMem(true, 0x2c0)); s.keep6 = snap();
      ret.all6 = outcome(() => qel.clearMem(false, 704.9)); s.all6 = snap();
      ret.unk = outcome(() => qel.clearMem(false, 0x123)); s.unk = snap();
      await feed(frame(0x456, [1]));
      s.unkAgain = snap();
      ret.nan = outcome(() => qel.clearMem(false, NaN)); s.nan = snap();
      ret.hb = outcome(() => qel.clearMem(false, 0x7a5)); s.hb = snap();
      ret.keepAll = outcome(() => qel.clearMem(true, U)); s.keepAll = snap();
      const bounds = {};
      for (const [label, id] of [['undef', U], ['minus7', -7], ['wrapped', 2 ** 32 - 1]]) {
        await populate();
        s['before-' + label] = snap();
        const r0 = bridge.reads();
        ret[label] = outcome(() => qel.clearMem(false, id));
        s[label] = snap();
        bounds[label] = bridge.reads() - r0;
      }
      // A cleared cyclic or debounced slot reports the same data again at once.
      await feed(frame(0x1a1, [7]));
      await feed(frame(0x1a1, [7]));
      qel.clearMem(true, 0x1a1);
      await feed(frame(0x1a1, [7]));
      await feed(frame(0x2c0, [7]));
      await feed(frame(0x2c0, [7]));
      qel.clearMem(true, 0x2c0);
      await feed(frame(0x2c0, [7]));
      done({ checks, s, ret, bounds, got });
    `);
    const { checks, s, ret, bounds, got } = r.result;
    assert.deepEqual(labelled('clearMem', checks), refused('clearMem'));
    for (const [label, value] of Object.entries(ret)) assert.equal(value, 'returned undefined', label);

    const { start } = s;
    assert.deepEqual([start.s0[1], start.s0[2], start.s6[1], start.s4[1], start.hb, start.unk, start.err], [1, 0x1a1, 1, 1, 2, 1, 1],
      'refused calls cleared nothing');
    assert.deepEqual(s.keep6.s6, ['0', 1, 0, ZERO], 'clearMem(true, 0x2c0) keeps the counter');
    assert.deepEqual(s.keep6.s0, start.s0, 'other slots untouched');
    assert.deepEqual(s.keep6.s4, start.s4);
    assert.deepEqual(s.all6.s6, ['0', 0, 0, ZERO], '704.9 converts to 0x2c0');
    assert.deepEqual([s.unk.unk, s.unk.hb, s.unk.err], [0, 2, 1], '0x123 clears "unk" only');
    assert.equal(s.unkAgain.unk, 1);
    assert.deepEqual([s.nan.unk, s.nan.hb, s.nan.err], [0, 2, 1], 'NaN converts to 0, an unlisted identifier');
    assert.deepEqual([s.hb.unk, s.hb.hb, s.hb.err], [0, 0, 1], '0x7a5 clears "hb"');
    assert.deepEqual(s.keepAll.s0, ['0', 1, 0, ZERO]);
    assert.deepEqual(s.keepAll.s4, ['0', 1, 0, ZERO]);
    assert.deepEqual([s.keepAll.hb, s.keepAll.unk, s.keepAll.err], [0, 0, 1], 'clearMem(true, undefined) keeps the statistics');
    assert.ok(s.keepAll.empty >= s.hb.empty, 'and keeps "empty"');

    for (const label of ['undef', 'minus7', 'wrapped']) {
      const before = s['before-' + label];
      const c = s[label];
      assert.ok(before.s0[1] >= 1 && before.hb >= 2 && before.unk >= 1 && before.err >= 1, `${label}: populated`);
      assert.deepEqual([c.s0, c.s6, c.s4, c.hb, c.unk, c.err], [['0', 0, 0, ZERO], ['0', 0, 0, ZERO], ['0', 0, 0, ZERO], 0, 0, 0], label);
      assert.ok(c.empty <= bounds[label], `${label}: "empty" ${c.empty} counts only polls after the clearing (${bounds[label]})`);
    }

    assert.deepEqual(got.slice(-4), [[0x1a1, 1], [0x1a1, 3], [0x2c0, 1], [0x2c0, 3]],
      'after clearing, the same data is reported again');
  });

  test('the callback: this is the global object; driver functions work inside it', async () => {
    const r = await runScenario(`${CHILD}
      const seen = [];
      qel.registerCallback(function (s) {
        const entry = { id: s.msg_id, thisIsGlobal: this === globalThis };
        if (s.msg_id === 0x4a1) {
          entry.read = brief(qel.readStatus(0x4a1));
          entry.send = outcome(() => qel.sendCommand(7));
          entry.clear = outcome(() => qel.clearMem(true, 0x4a1));
          entry.afterClear = brief(qel.readStatus(0x4a1));
          entry.sim = outcome(() => qel.simulate(simBytes(0x2c1, [4])));
        }
        seen.push(entry);
      });
      qel.driverStart(0, 1000, 0, 300, U, U, U);
      console.log('#go');
      await feed(frame(0x4a1, [1]));
      await until(() => seen.length >= 2, 3000);
      const commands = bridge.writes().filter((w) => w.bytes.length === 17 && w.bytes[3] === 0x04 && w.bytes[4] === 0xe0).map((w) => [...w.bytes]);
      done({ seen, commands });
    `);
    const [first, second] = r.result.seen;
    assert.equal(first.id, 0x4a1);
    assert.equal(first.thisIsGlobal, true);
    assert.deepEqual(first.read.slice(1), [1, 0x4a1, [1, 0, 0, 0, 0, 0, 0, 0]]);
    assert.deepEqual([first.send, first.clear, first.sim], ['returned undefined', 'returned undefined', 'returned undefined']);
    assert.deepEqual(first.afterClear, ['0', 1, 0, ZERO]);
    assert.deepEqual(second, { id: 0x2c1, thisIsGlobal: true });
    assert.equal(r.result.seen.length, 2);
    assert.equal(r.result.commands.length, 1);
    assert.equal(r.result.commands[0][8], 7);
    assert.deepEqual(after(r.lines, '#go'), [msg('CMD_TFT', 7), msg('CMD_SENT'), msg('SIMULATING')]);
  });

  test('a throwing callback is reported and later changes are still delivered; a newly registered function takes over', async () => {
    const r = await runScenario(`${CHILD}
      const calls = [];
      let n = 0;
      qel.registerCallback((s) => {
        n++;
        calls.push(['f', s.counter]);
        if (n === 1) throw new Error('boom');
        if (n === 2) throw 'plain text ' + 'x'.repeat(70000);
        if (n === 3) throw Symbol('no text');
        if (n === 4) process.nextTick(() => { throw new Error('tick'); });
      });
      process.on('uncaughtException', (e) => calls.push(['uncaught', e.message]));
      qel.driverStart(0, 1000, 0, 300, U, U, U);
      console.log('#first');
      await feed(frame(0x4a1, [1]));
      console.log('#second');
      await feed(frame(0x4a1, [2]));
      console.log('#symbol'); await feed(frame(0x4a1, [3]));
      console.log('#tick'); await feed(frame(0x4a1, [3]));
      console.log('#third');
      await feed(frame(0x4a1, [3]));
      qel.registerCallback((s) => calls.push(['g', s.counter]));
      await feed(frame(0x4a1, [4]));
      await feed(frame(0x4a1, [5]));
      console.log('#end');
      done({ calls });
    `);
    assert.deepEqual(r.result.calls, [['f', 1], ['f', 2], ['f', 3], ['f', 4], ['uncaught', 'tick'], ['f', 5], ['g', 6], ['g', 7]]);
    const lines = withoutHeartbeat(r.lines);
    const between = (a, b) => lines.slice(lines.indexOf(a) + 1, lines.indexOf(b));
    assert.deepEqual(between('#first', '#second'), [msg('CALLBACK_EXCEPTION'), msg('CALLBACK_EXCEPTION_DETAILS', 'Error: boom')]);
    assert.equal(between('#first', '#second')[1], 'QEL Driver -- async_callback exception details: Error: boom');
    // Longer than the console queue: shortened, with a mark that says why.
    const long = msg('CALLBACK_EXCEPTION_DETAILS', 'plain text ' + 'x'.repeat(70000));
    const cut = long.slice(0, 16256) + msg('CONSOLE_LINE_CUT', long.length - 16256);
    assert.deepEqual(between('#second', '#symbol'), [msg('CALLBACK_EXCEPTION'), cut]);
    assert.deepEqual(between('#symbol', '#third'), [msg('CALLBACK_EXCEPTION'), 'QEL Driver -- async_callback exception details: ', '#tick'], 'no text; a tick is not the function');
    assert.deepEqual(between('#third', '#end'), []);
    assert.equal(r.stderr, '');
  });

  test('no lost changes: slots changed while the main thread is busy are each delivered once, in order, with their latest content; promise reactions run after each callback', async () => {
    const r = await runScenario(`${CHILD}
      const log = [];
      const got = [];
      qel.registerCallback((s) => {
        const id = s.msg_id.toString(16);
        got.push([s.msg_id, s.counter, [...s.msg_data]]);
        log.push('cb ' + id);
        Promise.resolve().then(() => log.push('then ' + id));
        if (s.msg_id === 0x4a1 && s.counter === 2) qel.clearMem(true, 0x2c4);  // pending: delivered as it is then
      });
      qel.driverStart(0, 1000, 0, 300, U, U, U);
      await wait(20);
      const busy = (ms) => { const t = Date.now(); while (Date.now() - t < ms) { /* keep the main loop from running */ } };
      bridge.receive(frame(0x4a1, [1]));
      bridge.receive(frame(0x1a1, [2]));
      bridge.receive(frame(0x2c4, [3]));
      bridge.receive(frame(0x4a1, [4]));
      busy(200);
      const pending1 = bridge.pending();
      await feed();
      const round1 = got.length;
      for (const b of [5, 6, 7, 8]) bridge.receive(frame(0x4a1, [b]));
      busy(200);
      const pending2 = bridge.pending();
      await feed();
      await feed();
      done({ got, log, round1, pending1, pending2 });
    `);
    const { got, log } = r.result;
    assert.equal(r.result.pending1, 0, 'every frame was polled while the main thread was busy');
    assert.equal(r.result.pending2, 0);
    assert.equal(r.result.round1, 3);
    assert.deepEqual(got, [
      [0x4a1, 2, [4, 0, 0, 0, 0, 0, 0, 0]],
      [0x1a1, 1, [2, 0, 0, 0, 0, 0, 0, 0]],
      [0, 1, ZERO],
      [0x4a1, 6, [8, 0, 0, 0, 0, 0, 0, 0]],
    ]);
    assert.deepEqual(log, ['cb 4a1', 'then 4a1', 'cb 1a1', 'then 1a1', 'cb 0', 'then 0', 'cb 4a1', 'then 4a1']);
  });
});
