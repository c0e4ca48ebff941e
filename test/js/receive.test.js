'use strict';
// The receive loop on the simulated bridge: statistics, checksum and enable
// filters, the cyclic, debounced and event classes, bus read failures, and
// simulated frames. Every driver lifetime runs in a child process of its own.
const { describe, test } = require('node:test');
const assert = require('node:assert/strict');
const { msg } = require('../helpers/catalogue');
const { runScenario, TIME_FACTOR } = require('../helpers/scenario');

// Shared by the children. `feed` queues frames and returns once the bridge
// has handed them all over, two more polls have passed and the main loop
// has had time to deliver what they changed.
const CHILD = `
const U = undefined;
const got = [];
const brief = (s) => ({ id: s.msg_id, counter: s.counter, data: [...s.msg_data], ts: s.timestamp, stats: s.driver_stats });
qel.registerCallback((s) => got.push(brief(s)));
async function feed(...frames) {
  for (const f of frames) bridge.receive(f);
  await until(() => bridge.pending() === 0);
  const r = bridge.reads();
  await until(() => bridge.reads() >= r + 2);
  await wait(15 * TIME_FACTOR);
}
const isHeartbeat = (w) => w.bytes.length === 17 && w.bytes[3] === 0x07 && w.bytes[4] === 0x60;
// The "empty" statistic read between two counts of bus reads.
function emptyBetween(nonEmptyFrames) {
  const r1 = bridge.reads();
  const s = qel.readStatus(0xffe);
  const r2 = bridge.reads();
  return { empty: s.driver_stats.empty, low: r1 - nonEmptyFrames, high: r2 - nonEmptyFrames };
}
`;

const ids = (list) => list.map((g) => [g.id, g.counter]);
// The heartbeat thread announces itself whenever it gets to run.
const withoutHeartbeat = (lines) => lines.filter((l) => l !== msg('HB_DISABLED'));

describe('receive loop', { concurrency: 4 }, () => {
  test('statistics for each kind of frame; dropped frames leave their slots untouched', async () => {
    const r = await runScenario(`${CHILD}
      qel.driverStart(0, 1000, 0, 300, U, U, U);
      await feed(
        frame(0x765, [1]),                                   // hb
        frame(0x765, [1], { badChecksum: true }),            // hb and err
        frame(0x123, [1], { badChecksum: true }),            // unk, no checksum test
        frame(0xfff, [1]),                                   // unk
        frame(0xffe, [1]),                                   // empty
        frame(0x1a1, [7, 7], { len: 0xff }),                 // empty, valid checksum
        frame(0x1a1, [9], { badChecksum: true }),            // err
        frame(0x421, [1]),                                   // disabled by default
        frame(0xffd, [1]),                                   // dropped without counting
      );
      const phase1 = {
        got: got.length,
        slot0: qel.readStatus(0x1a1),
        slot3: qel.readStatus(0x421),
        slot13: qel.readStatus(0x765),
        err: qel.readStatus(0xffd),
        empty: emptyBetween(7),
      };
      await feed(
        frame(0x2c0, [5, 6, 7, 8, 9, 10, 11, 12], { len: 2 }),
        frame(0x1a1, [1, 2, 3, 4, 5, 6, 7, 8], { head: [0x12, 0x34], mid: [0x56, 0x78] }),
        bridge.frame(0x4a1, [0xfe, 0xff, 0xff]),             // built by the sim entry
      );
      done({ phase1, got, empty: emptyBetween(10), slot0: qel.readStatus(0x1a1), slot6: qel.readStatus(0x2c0) });
    `);
    const { phase1, empty } = r.result;
    assert.equal(phase1.got, 0, 'no dropped frame is delivered');
    assert.deepEqual({ ...phase1.slot0.driver_stats, empty: 0 }, { hb: 2, unk: 2, empty: 0, err: 2 });
    for (const slot of ['slot0', 'slot3', 'slot13']) {
      const s = phase1[slot];
      assert.deepEqual([s.timestamp, s.counter, s.msg_id, s.msg_data.data], ['0', slot === 'slot13' ? 2 : 0, 0, [0, 0, 0, 0, 0, 0, 0, 0]], slot);
    }
    assert.equal(phase1.err.counter, 2, 'identifier 0xffd is not counted in "err"');
    assert.ok(phase1.empty.empty >= phase1.empty.low && phase1.empty.empty <= phase1.empty.high,
      `"empty" ${JSON.stringify(phase1.empty)}: every read that brought no message`);
    assert.ok(phase1.empty.empty >= 4, 'two empty-kind frames and at least two idle polls');

    assert.deepEqual(r.result.got.map((g) => [g.id, g.counter, g.data]), [
      [0x2c0, 1, [5, 6, 7, 8, 9, 10, 11, 12]],
      [0x1a1, 1, [1, 2, 3, 4, 5, 6, 7, 8]],
      [0x4a1, 1, [0xfe, 0xff, 0xff, 0, 0, 0, 0, 0]],
    ]);
    assert.deepEqual({ ...r.result.got[1].stats, empty: 0 }, { hb: 2, unk: 2, empty: 0, err: 2 });
    assert.ok(empty.empty >= empty.low && empty.empty <= empty.high, `"empty" ${JSON.stringify(empty)}`);
    assert.equal(r.result.slot0.msg_id, 0x1a1);
    assert.equal(r.result.slot6.counter, 1);
  });

  test('cyclic, debounced and event classes with the default tables', async () => {
    const r = await runScenario(`${CHILD}
      qel.driverStart(0, 1000, 0, 500 * TIME_FACTOR, U, U, U);
      const A = [1, 2, 3, 4, 5, 6, 7, 8];
      const A2 = [1, 2, 3, 4, 5, 6, 7, 9];
      const marks = {};
      const mark = (label) => { marks[label] = got.length; };

      // cyclic 0x1a1
      await feed(frame(0x1a1, A)); mark('c1');
      const cyclicTs1 = qel.readStatus(0x1a1).timestamp;
      await wait(15);
      await feed(frame(0x1a1, A)); mark('c2');
      const cyclicTs2 = qel.readStatus(0x1a1).timestamp;
      await feed(frame(0x1a1, A2)); mark('c3');
      await feed(frame(0x1a1, A2)); mark('c4');
      await feed(frame(0x1a1, A)); mark('c5');

      // event 0x4a1, identical frames
      for (let i = 0; i < 3; i++) await feed(frame(0x4a1, [0x55]));
      mark('e');

      // debounced 0x2c0 with a 500 ms window
      await feed(frame(0x2c0, [1, 2, 3, 4])); mark('d1');
      const t1 = got[got.length - 1].ts;
      await wait(15);
      await feed(frame(0x2c0, [1, 2, 3, 4])); mark('d2');
      await feed(frame(0x2c0, [1, 2, 3, 9])); mark('d3');
      const suppressed = qel.readStatus(0x2c0);
      await feed(frame(0x2c0, [1, 2, 4, 9])); mark('d4');
      const t2 = Number(got[got.length - 1].ts);
      await feed(frame(0x2c0, [1, 2, 4, 9, 0, 0, 0, 1])); mark('d5');
      const inWindow = Date.now() - t2;
      await until(() => Date.now() > t2 + 650 * TIME_FACTOR, 5000);
      await feed(frame(0x2c0, [1, 2, 4, 9, 0, 0, 0, 1])); mark('d6');
      done({ got, marks, cyclicTs1, cyclicTs2, t1, suppressed, inWindow });
    `);
    const { got, marks } = r.result;
    assert.deepEqual([marks.c1, marks.c2, marks.c3, marks.c4, marks.c5], [1, 1, 2, 2, 3], 'cyclic: first, no repeat, change, no repeat, change back');
    assert.deepEqual(got.slice(0, 3).map((g) => [g.id, g.counter, g.data]), [
      [0x1a1, 1, [1, 2, 3, 4, 5, 6, 7, 8]],
      [0x1a1, 3, [1, 2, 3, 4, 5, 6, 7, 9]],
      [0x1a1, 5, [1, 2, 3, 4, 5, 6, 7, 8]],
    ]);
    assert.ok(Number(r.result.cyclicTs2) > Number(r.result.cyclicTs1), 'a cyclic slot takes the time of every frame');

    assert.equal(marks.e, 6, 'every event frame is delivered');
    assert.deepEqual(ids(got.slice(3, 6)), [[0x4a1, 1], [0x4a1, 2], [0x4a1, 3]]);

    assert.ok(r.result.inWindow < 500 * TIME_FACTOR, `the window checks ran within ${r.result.inWindow} ms`);
    assert.deepEqual([marks.d1, marks.d2, marks.d3, marks.d4, marks.d5, marks.d6], [7, 7, 7, 8, 8, 9]);
    assert.deepEqual(got.slice(6).map((g) => [g.id, g.counter, g.data]), [
      [0x2c0, 1, [1, 2, 3, 4, 0, 0, 0, 0]],
      [0x2c0, 4, [1, 2, 4, 9, 0, 0, 0, 0]],
      [0x2c0, 6, [1, 2, 4, 9, 0, 0, 0, 1]],
    ]);
    const s = r.result.suppressed;
    assert.deepEqual([s.counter, s.msg_data.data, s.timestamp], [3, [1, 2, 3, 9, 0, 0, 0, 0], r.result.t1],
      'suppressed frames are stored and counted; the slot keeps the time of its last report');
  });

  test('a negative debounce window is compared as unsigned: repeats are never reported again', async () => {
    const r = await runScenario(`${CHILD}
      qel.driverStart(0, 1000, 0, -1, U, U, U);
      await feed(frame(0x2c0, [1, 2, 3]));
      await wait(100);
      await feed(frame(0x2c0, [1, 2, 3]));
      await feed(frame(0x2c0, [1, 2, 4]));
      done({ got, counter: qel.readStatus(0x2c0).counter });
    `);
    assert.ok(r.lines[0].endsWith('DEBOUNCING=-1ms'), r.lines[0]);
    assert.deepEqual(r.result.got.map((g) => [g.id, g.counter, g.data]), [
      [0x2c0, 1, [1, 2, 3, 0, 0, 0, 0, 0]],
      [0x2c0, 3, [1, 2, 4, 0, 0, 0, 0, 0]],
    ]);
    assert.equal(r.result.counter, 3);
  });

  test('enable and cyclic tables given to driverStart decide filtering and class', async () => {
    const r = await runScenario(`${CHILD}
      qel.driverStart(0, 1000, 0, 100, [0x421, 0x1a1, 0x4e0, 0x2c4], [0x421, 0x2c4], U);
      await feed(frame(0x2c0, [1]), frame(0x2a1, [1]), frame(0x3a1, [1]));
      const disabled = [0x2c0, 0x2a1, 0x3a1].map((id) => qel.readStatus(id).counter);
      await feed(frame(0x421, [1]));
      await feed(frame(0x421, [1]));
      await feed(frame(0x1a1, [1]));
      await feed(frame(0x1a1, [1]));
      await feed(frame(0x4e0, [1]));
      await feed(frame(0x4e0, [1]));
      await feed(frame(0x2c4, [1]));
      await wait(250);
      await feed(frame(0x2c4, [1]));
      done({ got, disabled, c2c4: qel.readStatus(0x2c4).counter, c421: qel.readStatus(0x421).counter });
    `);
    assert.deepEqual(r.result.disabled, [0, 0, 0], 'disabled identifiers are not recorded');
    assert.deepEqual(ids(r.result.got), [[0x421, 1], [0x1a1, 1], [0x1a1, 2], [0x4e0, 1], [0x4e0, 2], [0x2c4, 1]],
      '0x421 cyclic; 0x1a1 and 0x4e0 events; 0x2c4 cyclic before debounced');
    assert.equal(r.result.c2c4, 2);
    assert.equal(r.result.c421, 2);
  });

  test('failed bus reads count in "err", are retried after the poll pause and set the bridge up again; so does a power cycle', async () => {
    const r = await runScenario(`${CHILD}
      qel.driverStart(0, 20000, 0, 300, U, U, U);
      const r0 = bridge.reads();
      await until(() => bridge.reads() > r0);
      console.log('#faults');
      const w0 = bridge.writes().length;
      bridge.failReads(10, 4);
      const t0 = Date.now();
      await until(() => qel.readStatus(0xffd).counter >= 10, 10000);
      const ms = Date.now() - t0;
      await wait(120);
      const s = qel.readStatus(0xffd);
      bridge.receive(frame(0x4a1, [3]));
      await until(() => got.length === 1, 5000);
      const setUp = bridge.writes().slice(w0).map((w) => [...w.bytes]);
      console.log('#power');
      bridge.powerCycle();
      bridge.receive(frame(0x4a1, [4]));
      await until(() => got.length === 2, 10000);
      done({ ms, counter: s.counter, stats: s.driver_stats, got, setUp, err: qel.readStatus(0xffd).counter });
    `);
    assert.ok(r.result.ms >= 9 * 20, `10 failed reads took ${r.result.ms} ms at a 20 ms poll pause`);
    assert.equal(r.result.counter, 10);
    assert.deepEqual({ ...r.result.stats, empty: 0 }, { hb: 0, unk: 0, empty: 0, err: 10 });
    assert.deepEqual(r.result.setUp, Array(10).fill([[0x03, 0x0f], [0x40]]).flat(), 'bit rate and receive register after each failed read');
    const faults = withoutHeartbeat(r.lines.slice(r.lines.indexOf('#faults') + 1, r.lines.indexOf('#power')));
    assert.deepEqual(faults, [msg('BRIDGE_LOST'), msg('BRIDGE_SET_UP_AGAIN', 10)], 'read errors themselves are printed only in debug mode');
    // Power-cycled, the bridge gives sixteen bytes of 0xFF: no "empty" frame.
    assert.deepEqual(r.lines.slice(r.lines.indexOf('#power') + 1), [msg('BRIDGE_LOST'), msg('BRIDGE_SET_UP_AGAIN', 1)]);
    assert.equal(r.result.err, 11);
    assert.deepEqual(ids(r.result.got), [[0x4a1, 1], [0x4a1, 2]], 'reading resumes once the bus answers, and after the power cycle');
  });

  test('an unplugged bridge (every read failing, canBusDelay 0): one attempt per millisecond at most; commands, queries, clearing and the heartbeat go on', async () => {
    const r = await runScenario(`${CHILD}
      qel.driverStart(0, 0, 20000, 300, U, U, U);
      bridge.failReads(1e9, 1);
      await wait(50);
      const times = { sendCommand: [], readStatus: [], clearMem: [] };
      const h0 = bridge.writes().filter(isHeartbeat).length;
      const w0 = bridge.now();
      const e0 = qel.readStatus(0xffd).counter;
      for (let i = 1; i <= 5; i++) {
        let t = Date.now();
        qel.sendCommand(i);
        times.sendCommand.push(Date.now() - t);
        t = Date.now();
        qel.readStatus(0x1a1);
        times.readStatus.push(Date.now() - t);
        t = Date.now();
        qel.clearMem(true, U);
        times.clearMem.push(Date.now() - t);
        await wait(40);
      }
      // However slow the machine, the reads and the heartbeat go on.
      const beats = () => bridge.writes().filter(isHeartbeat).length - h0;
      const reached = await until(() => beats() >= 3 && qel.readStatus(0xffd).counter - e0 > 100, 60000).catch(() => false);
      const attempts = qel.readStatus(0xffd).counter - e0;
      const w1 = bridge.now();
      const commands = bridge.writes().filter((w) => w.bytes.length === 17 && w.bytes[3] === 0x04 && w.bytes[4] === 0xe0).map((w) => w.bytes[8]);
      done({ times, reached, beats: beats(), windowMs: w1 - w0, commands, attempts });
    `, { timeout: 90000 });
    for (const [name, list] of Object.entries(r.result.times)) {
      assert.ok(Math.max(...list) < 250, `${name} took ${list.join(', ')} ms`);
    }
    assert.deepEqual(r.result.commands, [1, 2, 3, 4, 5]);
    assert.ok(r.result.reached, `${r.result.beats} heartbeats at 20 ms and ${r.result.attempts} failed reads in ${r.result.windowMs.toFixed(0)} ms`);
    assert.ok(r.result.attempts <= r.result.windowMs + 2, `${r.result.attempts} failed reads in ${r.result.windowMs.toFixed(0)} ms`);
  });

  test('simulate: the next poll takes the frame instead of a bus read; a second simulate replaces a pending one', async () => {
    const r = await runScenario(`${CHILD}
      // Polls far enough apart that the calls between two of them never
      // straddle one, even on an emulated processor.
      qel.driverStart(0, 200000 * TIME_FACTOR, 0, 300, U, U, U);
      const nextRead = async () => { const n = bridge.reads(); await until(() => bridge.reads() > n, 3000); };
      await nextRead();
      console.log('#one');
      const r0 = bridge.reads();
      qel.simulate(Buffer.from([0x00, 0x00, 0x02, 0xc0, 0x00, 0x00, 0x08, 1, 2, 3, 4, 5, 6, 7, 8]));
      await until(() => got.length === 1, 3000);
      const r1 = bridge.reads();
      await nextRead();
      await nextRead();
      console.log('#two');
      qel.simulate(simBytes(0x4a1, [0x0a]));
      qel.simulate(simBytes(0x4a1, [0x0b]));
      const r2 = bridge.reads();
      await until(() => got.length === 2, 3000);
      const r3 = bridge.reads();
      await nextRead();
      await nextRead();
      console.log('#empty');
      const before = qel.readStatus(0x4a1);
      const d0 = before.driver_stats.empty - bridge.reads();
      qel.simulate(simBytes(0x2c0, [9, 9, 9], { len: 0xff }));
      await until(() => qel.readStatus(0x4a1).driver_stats.empty > before.driver_stats.empty, 3000);
      const after = qel.readStatus(0x2c0);
      const d1 = after.driver_stats.empty - bridge.reads();
      await nextRead();
      console.log('#end');
      done({ got, r0, r1, r2, r3, d0, d1, slot6: after, c4a1: qel.readStatus(0x4a1).counter });
    `, { timeout: 20000 });
    const { result } = r;
    assert.equal(result.r1, result.r0, 'the poll that took the simulated frame read nothing from the bus');
    assert.equal(result.r3, result.r2);
    assert.deepEqual(result.got.map((g) => [g.id, g.counter, g.data]), [
      [0x2c0, 1, [1, 2, 3, 4, 5, 6, 7, 8]],
      [0x4a1, 1, [0x0b, 0, 0, 0, 0, 0, 0, 0]],
    ], 'only the second of two pending simulated frames is processed');
    assert.equal(result.c4a1, 1);
    assert.equal(result.d1, result.d0 + 1, 'a simulated frame with length code 0xff counts in "empty" without a read');
    assert.deepEqual([result.slot6.counter, result.slot6.msg_data.data], [1, [1, 2, 3, 4, 5, 6, 7, 8]]);
    const lines = withoutHeartbeat(r.lines);
    const at = (label) => lines.indexOf('#' + label);
    assert.deepEqual(lines.slice(at('one') + 1, at('two')), [msg('SIMULATING')]);
    assert.deepEqual(lines.slice(at('two') + 1, at('empty')), [msg('SIMULATING')]);
    assert.deepEqual(lines.slice(at('empty') + 1, at('end')), [msg('SIMULATING')]);
    assert.equal(msg('SIMULATING'), 'QEL Driver -- Simulating a received message');
  });

  test('capture: every frame read, in order, 100,000 at the instant pace without a loss; null stops after the rest', async () => {
    const r = await runScenario(`${CHILD}
      const frames = [];
      let batches = 0, dropped = 0, empty = 0, thrown = false;
      const take = (b) => {
        batches++; dropped += b.dropped; empty += b.empty;
        for (let i = 0; i < b.count; i++) {
          frames.push([b.id[i], b.length[i], b.data[8 * i] | b.data[8 * i + 1] << 8 | b.data[8 * i + 2] << 16,
            b.checksumError[i], b.simulated[i], b.time[i]]);
        }
        if (!thrown && frames.length > 50000) { thrown = true; throw new Error('one batch thrown'); }
      };
      qel.capture(take);
      qel.driverStart(0, 0, 0, U, U, U, U);
      await feed(frame(0x421, [1, 2], { len: 12 }), frame(0x1a1, [3], { badChecksum: true }));
      qel.simulate(simBytes(0x4a1, [5]));
      await until(() => frames.length === 3);
      const before = Date.now() * 1000;
      for (let i = 0; i < 100000; i++) bridge.receive(frame(0x2c0, [i & 255, (i >> 8) & 255, i >> 16]));
      await until(() => bridge.pending() === 0, 10000);
      qel.capture(null);
      const all = frames.length;
      await feed(frame(0x4a1, [6]));
      done({ head: frames.slice(0, 3), batches, dropped, empty, all, after: frames.length, before,
        serials: frames.slice(3).every((f, i) => f[0] === 0x2c0 && f[2] === i), count: frames.length - 3,
        last: frames[frames.length - 1] });
    `, { timeout: 30000 });
    const { result } = r;
    assert.deepEqual(result.head.map((f) => f.slice(0, 5)), [[0x421, 12, 0x0201, 0, 0], [0x1a1, 1, 3, 1, 0], [0x4a1, 1, 5, 0, 1]]);
    assert.ok(result.head[0][5] <= result.before && result.head[0][5] > result.before - 10e6, 'reception time in microseconds');
    assert.equal(result.count, 100000);
    assert.equal(result.dropped, 0);
    assert.ok(result.empty > 0, 'empty polls counted');
    assert.equal(result.all, result.after, 'nothing after capture(null), which handed over the rest');
    assert.ok(result.serials, 'every frame, in order');
    // Batched, not a call per frame; how many depends on the machine's pace.
    assert.ok(result.batches < 10000, `${result.batches} batches for 100,000 frames`);
    assert.deepEqual(r.lines.filter((l) => l.includes('capture')), [msg('CAPTURE_EXCEPTION'), msg('CAPTURE_EXCEPTION_DETAILS', 'Error: one batch thrown')]);
  });
});
