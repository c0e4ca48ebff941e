'use strict';
// The heartbeat on the simulated bridge: its frame, its period measured from
// the bridge's write times, its disabled case, and failing writes.
const test = require('node:test');
const assert = require('node:assert/strict');
const { msg, MSG } = require('../helpers/catalogue');
const { checksum } = require('../helpers/frames');
const { runScenario } = require('../helpers/scenario');

const HB_FRAME = '30 00 00 07 60 00 00 01 00 00 00 00 00 00 00 00 68'.replace(/ /g, '');

const isHeartbeat = (bytes) => bytes.length === 17 && bytes[0] === 0x30 && bytes[3] === 0x07 && bytes[4] === 0x60;

// Starts the driver with the given heartbeat period, lets it run for `ms`
// and then, however slow the machine, until `atLeast` transmit writes were
// made; returns every 17-byte transmit write (hex, code, time) and the lines.
function heartbeatScenario({ hb, ms, atLeast = 0, debug = false, before = '' }) {
  return runScenario(`
    ${before}
    qel.registerCallback(() => {});
    const t0 = bridge.now();
    qel.driverStart(0, 1000, ${hb}, 300, undefined, undefined, ${debug});
    await wait(${ms});
    await until(() => bridge.writes().filter((w) => w.bytes.length === 17).length >= ${atLeast}, 60000);
    const elapsed = bridge.now() - t0;
    const writes = bridge.writes()
      .filter((w) => w.bytes.length === 17 && w.bytes[0] === 0x30)
      .map((w) => ({ hex: w.bytes.toString('hex'), code: w.code, time: w.time }));
    done({ writes, elapsed, overlaps: bridge.state().overlaps });
  `, { debugLog: debug, timeout: 90000 });
}

function intervals(writes) {
  const out = [];
  for (let i = 1; i < writes.length; i++) out.push(writes[i].time - writes[i - 1].time);
  return out;
}

function median(values) {
  const s = [...values].sort((a, b) => a - b);
  return s[Math.floor(s.length / 2)];
}

// Lines the driver prints after its start-up banner, which ends with the
// receive register line (debug mode adds two more).
function afterStartUp(lines) {
  const at = lines.indexOf(msg('SELECT_OK'));
  assert.ok(at >= 0, 'the driver started');
  return lines.slice(at + 1).filter((l) => l !== msg('DEBUG_ENABLED') && !l.startsWith(MSG.LOG_FILE.split('%')[0]));
}

test('the heartbeat frame is fixed and its checksum is 0x68', () => {
  const bytes = Buffer.from(HB_FRAME, 'hex');
  assert.equal(checksum(bytes.subarray(1, 16)), 0x68);
  assert.ok(isHeartbeat(bytes));
});

test('with hb_delay 20000 us: the exact frame every 20 ms and one start line', async (t) => {
  const r = await heartbeatScenario({ hb: 20000, ms: 700, atLeast: 12 });
  const hbs = r.result.writes;
  assert.deepEqual([...new Set(hbs.map((w) => w.hex))], [HB_FRAME], 'only heartbeat frames, each exact');
  assert.deepEqual([...new Set(hbs.map((w) => w.code))], [0]);
  const { elapsed } = r.result;
  assert.ok(hbs.length <= elapsed / 20 + 5, `${hbs.length} heartbeats in ${elapsed} ms`);
  const m = median(intervals(hbs));
  t.diagnostic(`${hbs.length} heartbeats, median interval ${m.toFixed(2)} ms`);
  assert.ok(m >= 18 && m <= 40, `median interval ${m} ms`);
  assert.ok(Math.min(...intervals(hbs)) >= 15, 'no heartbeat comes early');
  assert.deepEqual(afterStartUp(r.lines), [msg('HB_STARTING', 20000)]);
  assert.equal(msg('HB_STARTING', 20000), 'QEL Driver -- Heartbit thread starting with MSGID=0x760 and frequency=20000us');
  assert.equal(r.result.overlaps, 0);
});

test('the default period is 500000 us when hb_delay is undefined', async () => {
  const r = await heartbeatScenario({ hb: 'undefined', ms: 1200, atLeast: 2 });
  const hbs = r.result.writes;
  assert.deepEqual([...new Set(hbs.map((w) => w.hex))], [HB_FRAME]);
  for (const gap of intervals(hbs)) assert.ok(gap >= 490 && gap <= 800, `interval ${gap} ms`);
  assert.deepEqual(afterStartUp(r.lines), [msg('HB_STARTING', 500000)]);
});

test('hb_delay 0 or negative: one "disabled" line and never a heartbeat frame', async () => {
  const [zero, negative] = await Promise.all([
    heartbeatScenario({ hb: 0, ms: 600 }),
    heartbeatScenario({ hb: -5, ms: 600 }),
  ]);
  for (const r of [zero, negative]) {
    assert.deepEqual(r.result.writes, []);
    assert.deepEqual(afterStartUp(r.lines), [msg('HB_DISABLED')]);
  }
  assert.equal(msg('HB_DISABLED'), 'QEL Driver -- Heartbit thread disabled');
  // The banner shows the value that was asked for.
  assert.ok(negative.lines[0].includes('HEARTBIT Delay Cycle=-5us'), negative.lines[0]);
});

test('failing heartbeat writes: reported only in debug mode, recorded with their code, period kept', async (t) => {
  for (const debug of [false, true]) {
    // The first five transmit writes fail: those are the first five heartbeats.
    const r = await heartbeatScenario({ hb: 20000, ms: 500, atLeast: 10, debug, before: 'bridge.failWrites(5, 9);' });
    const hbs = r.result.writes;
    assert.deepEqual([...new Set(hbs.map((w) => w.hex))], [HB_FRAME], `debug ${debug}`);
    assert.deepEqual(hbs.slice(0, 5).map((w) => w.code), [9, 9, 9, 9, 9], `debug ${debug}`);
    assert.deepEqual([...new Set(hbs.slice(5).map((w) => w.code))], [0], `debug ${debug}`);
    const gaps = intervals(hbs);
    const afterFailure = gaps.slice(0, 5);
    t.diagnostic(`debug ${debug}: intervals after failed writes ${afterFailure.map((g) => g.toFixed(1)).join(' ')} ms, median ${median(gaps).toFixed(2)} ms`);
    for (const g of afterFailure) assert.ok(g >= 15 && g <= 150, `debug ${debug}: interval ${g} ms after a failed write`);
    const m = median(gaps);
    assert.ok(m >= 18 && m <= 40, `debug ${debug}: median interval ${m} ms`);
    const expected = [msg('HB_STARTING', 20000), ...(debug ? Array(5).fill(msg('HB_FAILED')) : [])];
    assert.deepEqual(afterStartUp(r.lines), expected, `debug ${debug}`);
  }
  assert.equal(msg('HB_FAILED'), 'QEL Driver -- Error sending the Heartbit');
});

test('heartbeat and commands share the bus: every frame whole and the heartbeat keeps going', async () => {
  const r = await runScenario(`
    qel.registerCallback(() => {});
    qel.driverStart(0, 1000, 5000, 300, undefined, undefined, false);
    await wait(50);
    const results = [];
    // Every fourth command waits for the next heartbeat (the scenario fails
    // if none comes): the heartbeat keeps going between the commands,
    // however slow the machine.
    const beats = () => bridge.writes().filter((w) => w.bytes.length === 17 && w.bytes[3] === 0x07).length;
    for (let i = 0; i < 40; i++) {
      try { qel.sendCommand(i, i % 2, (i >> 1) % 2, 1, i); results.push('ok'); } catch (e) { results.push(e.message); }
      const b = beats();
      if (i % 4 === 3) await until(() => beats() > b, 30000); else await wait(2);
    }
    const writes = bridge.writes()
      .filter((w) => w.bytes.length === 17 && w.bytes[0] === 0x30)
      .map((w) => ({ hex: w.bytes.toString('hex'), code: w.code, time: w.time }));
    done({ results, writes, overlaps: bridge.state().overlaps });
  `, { timeout: 90000 });
  const { results, writes, overlaps } = r.result;
  assert.deepEqual(results, Array(40).fill('ok'));
  assert.equal(overlaps, 0);
  const hbs = writes.filter((w) => isHeartbeat(Buffer.from(w.hex, 'hex')));
  const commands = writes.filter((w) => !isHeartbeat(Buffer.from(w.hex, 'hex')));
  assert.deepEqual([...new Set(hbs.map((w) => w.hex))], [HB_FRAME]);
  assert.equal(commands.length, 40);
  for (const [i, w] of commands.entries()) {
    const b = Buffer.from(w.hex, 'hex');
    const flags = (i % 2 === 0 ? 0x04 : 0x08) | (((i >> 1) % 2) === 0 ? 0x02 : 0x03) | 0x10;
    assert.deepEqual([...b.subarray(0, 11)], [0x30, 0, 0, 0x04, 0xe0, 0, 0, 8, i, flags, i % 2 === 1 ? i : 0], `command ${i}`);
    assert.deepEqual([...b.subarray(11, 16)], [0, 0, 0, 0, 0]);
    assert.equal(b[16], checksum(b.subarray(1, 16)));
  }
});
