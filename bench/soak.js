#!/usr/bin/env node
'use strict';
// Soak run of the driver on the simulated bridge: ten million frames of
// every class (cyclic with changing and with unchanged data, debounced,
// event, the heartbeat range, unknown identifiers, empty frames, bad
// checksums, 0xFFD, disabled slots) polled back to back (can_bus_delay 0,
// i2c_delay 0) with the callback registered, while JavaScript interleaves
// commands and parameter writes. At the end every frame must be accounted
// for in its slot or statistic, every command and parameter frame must be
// on the bus byte for byte, the resident memory must stay within 10 MB of
// where it was after the first million frames, and the event loop's
// responsiveness is reported.
//
// Usage: node bench/soak.js [FRAMES]   (default 10000000; tools/qel-soak)
//
// The driver runs in a child process (it cannot be stopped once started);
// this process reads the driver's console, counts its lines and prints the
// figures.

const { spawn } = require('child_process');
const crypto = require('crypto');
const path = require('path');

const root = path.resolve(__dirname, '..');
const MARK = '@@soak ';
const MB = 1024 * 1024;
const RSS_LIMIT = 10 * MB;
const TIME_LIMIT_MS = 240000; // feeding stops here whatever the count

// ================================================================= child

function child(target) {
  const qel = require(path.join(root, 'sim'));
  const { bridge } = qel;
  const { frame, checksum, transmitFrame } = require(path.join(root, 'lib', 'frame'));
  const { monitorEventLoopDelay, performance } = require('perf_hooks');

  const say = (kind, value) => process.stdout.write(`${MARK}${kind} ${JSON.stringify(value)}\n`);
  const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
  // Durations: the worst, and the median of a fixed-size random sample.
  function durations() {
    const sample = [];
    let seen = 0;
    return {
      worst: 0,
      add(ms) {
        this.worst = Math.max(this.worst, ms);
        seen++;
        if (sample.length < 1000) sample.push(ms);
        else if (Math.random() * seen < 1000) sample[Math.floor(Math.random() * 1000)] = ms;
      },
      median: () => [...sample].sort((a, b) => a - b)[Math.floor(sample.length / 2)] || 0,
    };
  }
  let worstGc = 0;
  const memoryAfterGc = () => {
    const t = performance.now();
    if (global.gc) global.gc();
    worstGc = Math.max(worstGc, performance.now() - t);
    const m = process.memoryUsage();
    return { rss: m.rss, heap: m.heapUsed, external: m.external };
  };

  // ------------------------------------------------------------ what is fed
  // Positions of the slots and the statistics, as the driver sorts them.
  const POS = Object.fromEntries(qel.facts.slots.map((slot, pos) => [slot.id, pos]));
  const HB = 13; const UNK = 14; const EMPTY = 15; const ERR = 16;
  const expected = new Array(17).fill(0); // counters of slots 0-12 and statistics 13-16
  const lastData = {};                     // identifier -> data of its latest accepted frame
  const perClass = {};

  let seq = 0;
  const data3 = (n) => [n & 0xff, (n >> 8) & 0xff, (n >> 16) & 0xff];

  // One class: `runs(block)` gives [frame, count] pairs for block number
  // `block`; `effect` lists the counters (slot positions 0-12, statistics
  // 13-16) that each of its frames raises, or is null when each frame
  // raises the slot of its own identifier.
  const classes = [
    { name: 'cyclic, data changing', per: 1000, runs: () => Array.from({ length: 1000 }, () => [frame(0x1a1, [...data3(++seq), 0xc1]), 1]), effect: [0] },
    { name: 'cyclic, data unchanged', per: 1500, runs: (b) => [[frame(0x3a1, [b & 0xff, 0x3a]), 1500]], effect: [2] },
    { name: 'debounced, repeated', per: 1000, runs: (b) => [[frame(0x2c0, [1, 2, 3, b & 0xff]), 1000]], effect: [6] },
    { name: 'debounced, bytes 0-2 changing', per: 200, runs: () => Array.from({ length: 200 }, () => [frame(0x2c1, data3(++seq)), 1]), effect: [7] },
    { name: 'debounced, bytes 3-7 changing', per: 100, runs: () => Array.from({ length: 100 }, () => [frame(0x2c8, [7, 7, 7, ...data3(++seq)]), 1]), effect: [10] },
    { name: 'debounced, other slots', per: 500, runs: (b) => [0x2a1, 0x2a2, 0x2c4, 0x2c5, 0x2c9].map((id) => [frame(id, [id & 0xff, b & 0xff]), 100]), effect: null },
    { name: 'event', per: 1000, runs: (b) => [[frame(0x4a1, [b & 0xff, 0x4a]), 1000]], effect: [4] },
    { name: 'heartbeat range', per: 600, runs: (b) => [[frame(0x700 + (b % 256), [1]), 600]], effect: [HB] },
    { name: 'heartbeat range, bad checksum', per: 100, runs: () => [[frame(0x765, [2], { badChecksum: true }), 100]], effect: [HB, ERR] },
    { name: 'unknown identifier', per: 700, runs: () => [[frame(0x123, [3]), 500], [frame(0x800, [3]), 100], [frame(0, []), 100]], effect: [UNK] },
    { name: 'identifier 0xFFF', per: 200, runs: () => [[frame(0xfff, [4]), 200]], effect: [UNK] },
    { name: 'empty length code', per: 700, runs: () => [[frame(0x1a1, [], { len: 0xff }), 600], [frame(0x2c0, [5], { len: 0xff, badChecksum: true }), 100]], effect: [EMPTY] },
    { name: 'identifier 0xFFE', per: 200, runs: () => [[frame(0xffe, [6]), 200]], effect: [EMPTY] },
    { name: 'bad checksum', per: 600, runs: () => [[frame(0x2c4, [7], { badChecksum: true }), 500], [frame(0x1a1, [7], { badChecksum: true }), 100]], effect: [ERR] },
    { name: 'identifier 0xFFD', per: 300, runs: () => [[frame(0xffd, [8]), 300]], effect: [] },
    { name: 'disabled slot', per: 500, runs: () => [[frame(0x421, [9]), 300], [frame(0x4e0, [9]), 200]], effect: [] },
  ];
  const BLOCK = classes.reduce((s, c) => s + c.per, 0);
  const DISABLED = [0x421, 0x4e0];

  // A seeded shuffle, so that the classes interleave on the bus.
  let rs = 0x2545f491;
  const rnd = () => { rs ^= rs << 13; rs >>>= 0; rs ^= rs >>> 17; rs ^= rs << 5; rs >>>= 0; return rs / 4294967296; };

  // Builds one block in bus order and records what it must add to each
  // counter and which frame each slot holds afterwards (the last accepted
  // one of its identifier in bus order).
  function block(b) {
    const all = [];
    for (const c of classes) {
      let n = 0;
      for (const [f, count] of c.runs(b)) {
        n += count;
        for (const e of c.effect || [POS[f[2] * 256 + f[3]]]) expected[e] += count;
        all.push([f, count]);
      }
      if (n !== c.per) throw new Error(`class ${c.name} gives ${n} frames, not ${c.per}`);
      perClass[c.name] = (perClass[c.name] || 0) + n;
    }
    for (let i = all.length - 1; i > 0; i--) {
      const j = Math.floor(rnd() * (i + 1));
      [all[i], all[j]] = [all[j], all[i]];
    }
    for (const [f] of all) {
      const id = f[2] * 256 + f[3];
      if (id in POS && !DISABLED.includes(id) && f[6] !== 0xff && f[15] === checksum(f, 15)) lastData[id] = f.subarray(7, 15);
    }
    return all;
  }

  // --------------------------------------------------- commands, parameters
  // What was sent is kept as a count and a running digest, so that the
  // soak's own bookkeeping does not grow with the run.
  const digest = () => ({ count: 0, hash: crypto.createHash('sha256') });
  const sent = { commands: digest(), parameters: digest() };
  const record = (d, hex) => { d.count++; d.hash.update(hex); };
  const COMMANDS = [
    (n) => [[n & 0xff], [n & 0xff]],
    (n) => [[n & 0xff, 0, 1], [n & 0xff, 0x07]],
    (n) => [[-1, 1, 0, 1, n & 0xff], [0, 0x1a, n & 0xff]],
    (n) => [[-1, -1, 1], [0, 0x03]],
  ];
  // The longest a command or parameter call held the event loop: the
  // write waits for the bus lock that the receive thread polls under.
  const callTimes = durations();
  const timed = (fn) => {
    const t = performance.now();
    fn();
    callTimes.add(performance.now() - t);
  };
  function command(n) {
    const [args, data] = COMMANDS[n % COMMANDS.length](n);
    timed(() => qel.sendCommand(...args));
    record(sent.commands, transmitFrame(0x04, 0xe0, data).toString('hex'));
  }
  function parameter(n) {
    const values = Buffer.from(Array.from({ length: n % 8 }, (_, i) => (n + i) & 0xff));
    timed(() => qel.writeParameter(n & 0xff, values));
    record(sent.parameters, transmitFrame(0x05, 0x60, [n & 0xff, ...values]).toString('hex'));
  }

  // -------------------------------------------------------------- delivery
  const delivered = { total: 0, byId: {}, problems: [] };
  const lastCounter = {};
  function onStatus(s) {
    delivered.total++;
    const id = s.msg_id;
    delivered.byId[id] = (delivered.byId[id] || 0) + 1;
    if (!(id in POS) || id === 0x421 || id === 0x4e0) {
      if (delivered.problems.length < 10) delivered.problems.push(`delivery of identifier 0x${id.toString(16)}`);
    } else if (s.counter < (lastCounter[id] || 0)) {
      if (delivered.problems.length < 10) delivered.problems.push(`counter of 0x${id.toString(16)} went back`);
    }
    lastCounter[id] = s.counter;
    // Now and then the callback itself sends, as an application would.
    if (delivered.total % 500 === 0) command(delivered.total);
  }

  // ---------------------------------------------------- event-loop watch
  const PERIOD = 10;
  let worstLate = 0;
  let ticks = 0;
  let due = performance.now() + PERIOD;
  const timer = setInterval(() => {
    const now = performance.now();
    worstLate = Math.max(worstLate, now - due);
    ticks++;
    due = now + PERIOD;
  }, PERIOD);
  const delay = monitorEventLoopDelay({ resolution: 10 });

  // ------------------------------------------------------------------ run
  async function main() {
    qel.registerCallback(onStatus);
    qel.driverStart(0, 0, 100000, 2000, undefined, undefined, false);
    const t0 = Date.now();
    delay.enable();

    let fed = 0;
    let blocks = 0;
    const blockTimes = durations();
    let memFirstMillion = null;
    let nextProgress = 1000000;
    let stoppedEarly = false;
    const LOW = 3 * BLOCK;
    while (fed < target) {
      if (Date.now() - t0 > TIME_LIMIT_MS) { stoppedEarly = true; break; }
      if (bridge.pending() > LOW) {
        await sleep(1);
      } else {
        const t = performance.now();
        const runs = block(blocks);
        for (const [f, count] of runs) bridge.receive(f, count);
        blockTimes.add(performance.now() - t);
        fed += BLOCK;
        blocks++;
        command(blocks);
        parameter(blocks);
        command(blocks + 7);
        parameter(blocks + 3);
        command(blocks + 13);
        await new Promise((r) => setImmediate(r));
      }
      const consumed = fed - bridge.pending();
      if (memFirstMillion === null && consumed >= 1000000) memFirstMillion = memoryAfterGc();
      if (consumed >= nextProgress) {
        say('progress', { consumed, seconds: (Date.now() - t0) / 1000 });
        nextProgress += 1000000;
      }
    }
    while (bridge.pending() > 0) await sleep(5);
    const feedSeconds = (Date.now() - t0) / 1000;
    await sleep(100); // the last deliveries
    delay.disable();
    clearInterval(timer);
    if (memFirstMillion === null) memFirstMillion = memoryAfterGc();
    const memEnd = memoryAfterGc();

    // Only the "empty" statistic still moves: every poll of the dry queue
    // counts one. A slow bus clock makes each further poll take 150 ms, so
    // that it and the bridge's count of reads can be taken as a pair.
    const slots = {};
    for (const id of [...Object.keys(POS).map(Number), 0x760, 0x123, 0xffd]) slots[id] = qel.readStatus(id);
    bridge.busSpeed(1000);
    await sleep(20);
    const emptyNow = qel.readStatus(0xffe).counter;
    const reads = bridge.reads();
    bridge.busSpeed(0);
    // Every read since start-up took one fed frame or found the queue dry.
    const dryPolls = reads - fed;
    expected[EMPTY] += dryPolls;
    const mismatches = [];
    const check = (what, got, want) => { if (got !== want) mismatches.push(`${what}: ${got}, expected ${want}`); };
    for (const [id, pos] of Object.entries(POS)) {
      const s = slots[id];
      check(`counter of 0x${Number(id).toString(16)}`, s.counter, expected[pos]);
      if (lastData[id]) {
        check(`identifier in slot ${pos}`, s.msg_id, Number(id));
        check(`data of 0x${Number(id).toString(16)}`, s.msg_data.toString('hex'), Buffer.from(lastData[id]).toString('hex'));
      } else {
        check(`identifier in slot ${pos}`, s.msg_id, 0);
      }
    }
    const stats = slots[0x1a1].driver_stats;
    check('hb', stats.hb, expected[HB]);
    check('unk', stats.unk, expected[UNK]);
    check('empty', emptyNow, expected[EMPTY]);
    check('err', stats.err, expected[ERR]);
    check('slot 13 counter', slots[0x760].counter, expected[HB]);
    check('slot 14 counter', slots[0x123].counter, expected[UNK]);
    check('slot 16 counter', slots[0xffd].counter, expected[ERR]);

    // Every command and parameter frame on the bus, in order, byte for byte.
    const writes = bridge.writes().filter((w) => w.bytes.length === 17);
    const onBus = (hi, lo) => writes.filter((w) => w.bytes[3] === hi && w.bytes[4] === lo);
    const cmds = onBus(0x04, 0xe0);
    const params = onBus(0x05, 0x60);
    const beats = onBus(0x07, 0x60);
    const busDigest = (list) => {
      const d = digest();
      for (const w of list) record(d, w.bytes.toString('hex'));
      return `${d.count} frames, sha256 ${d.hash.digest('hex')}`;
    };
    const commands = sent.commands.count;
    const parameters = sent.parameters.count;
    check('command frames', busDigest(cmds), `${commands} frames, sha256 ${sent.commands.hash.digest('hex')}`);
    check('parameter frames', busDigest(params), `${parameters} frames, sha256 ${sent.parameters.hash.digest('hex')}`);
    check('failed transmit writes', writes.filter((w) => w.code !== 0).length, 0);
    check('overlapping transfers', bridge.state().overlaps, 0);

    say('result', {
      target, fed, blocks, blockFrames: BLOCK, classes: perClass, stoppedEarly,
      feedSeconds, seconds: (Date.now() - t0) / 1000,
      commands, parameters, heartbeats: beats.length, bridgeWrites: writes.length,
      deliveries: delivered.total, deliveriesById: delivered.byId, deliveryProblems: delivered.problems,
      expected, dryPolls, reads, countersChecked: 13 * 3 + 7, mismatches,
      memFirstMillion, memEnd,
      worstLateMs: worstLate, worstCallMs: callTimes.worst, medianCallMs: callTimes.median(), worstBlockMs: blockTimes.worst, medianBlockMs: blockTimes.median(), worstGcMs: worstGc, ticks, delayP99Ms: delay.percentile(99) / 1e6, delayMaxMs: delay.max / 1e6,
    });
    process.exit(0);
  }
  main().catch((e) => { say('error', String(e && e.stack || e)); process.exit(3); });
}

// ================================================================ parent

function parent(target) {
  const args = ['--expose-gc', __filename, '--child', String(target)];
  const proc = spawn(process.execPath, args, { cwd: root, stdio: ['ignore', 'pipe', 'inherit'] });
  const lines = { total: 0, kinds: {} };
  const KINDS = [
    ['command sent', /^QEL Driver -- Command sent successfully$/],
    ['parameter written', /^QEL Driver -- Parameter written successfully$/],
    ['command setting', /^QEL Driver -- setting command to the QEL module: /],
    ['parameter number', /^QEL Driver -- writing parameter to the QEL module: PARAM_NUM = /],
    ['start-up', /^QEL Driver -- (starting with|listening for|Clock divider|Slave address|Frame Len|Debug mode set|CAN Bus BAUD speed = 250000|RECV register selected|Heartbit thread starting)/],
  ];
  let result = null;
  let error = null;
  let rest = '';
  proc.stdout.on('data', (d) => {
    const parts = (rest + d).split('\n');
    rest = parts.pop();
    for (const line of parts) {
      if (line.startsWith(MARK)) {
        const body = line.slice(MARK.length);
        const kind = body.slice(0, body.indexOf(' '));
        const value = JSON.parse(body.slice(kind.length + 1));
        if (kind === 'progress') process.stdout.write(`  ${(value.consumed / 1e6).toFixed(0)}M frames after ${value.seconds.toFixed(1)} s\n`);
        else if (kind === 'result') result = value;
        else error = value;
        continue;
      }
      if (line === '') continue;
      lines.total++;
      const k = (KINDS.find(([, re]) => re.test(line)) || ['other'])[0];
      lines.kinds[k] = (lines.kinds[k] || 0) + 1;
      if (k === 'other' && (lines.others = lines.others || []).length < 10) lines.others.push(line);
    }
  });
  process.stdout.write(`qel soak: ${target.toLocaleString('en')} frames on the simulated bridge, can_bus_delay 0, i2c_delay 0\n`);
  proc.on('close', (code) => {
    if (!result) {
      console.error(`qel soak: the driver's process ended (exit ${code}) without a result${error ? `:\n${error}` : ''}`);
      process.exit(1);
    }
    process.exit(report(result, lines) ? 0 : 1);
  });
}

function report(r, lines) {
  const n = (x) => Math.round(x).toLocaleString('en');
  const mb = (x) => `${(x / MB).toFixed(1)} MB`;
  const failures = [...r.mismatches, ...r.deliveryProblems];
  if (r.stoppedEarly) failures.push(`stopped after ${n(r.fed)} frames at the time limit`);
  if (lines.kinds['command sent'] !== r.commands) failures.push(`${lines.kinds['command sent'] || 0} "Command sent successfully" lines for ${r.commands} commands`);
  if (lines.kinds['parameter written'] !== r.parameters) failures.push(`${lines.kinds['parameter written'] || 0} "Parameter written successfully" lines for ${r.parameters} writes`);
  if (lines.kinds.other) failures.push(`${lines.kinds.other} unexpected console lines, e.g. ${JSON.stringify(lines.others)}`);
  const growth = r.memEnd.rss - r.memFirstMillion.rss;
  if (growth > RSS_LIMIT) failures.push(`resident memory grew by ${mb(growth)} after the first million frames`);

  const rows = [
    ['frames fed', `${n(r.fed)} (${n(r.blocks)} blocks of ${n(r.blockFrames)}, ${Object.keys(r.classes).length} classes)`],
    ['frames per second', `${n(r.fed / r.feedSeconds)}`],
    ['polls of a dry queue', n(r.dryPolls)],
    ['commands, parameter writes', `${n(r.commands)}, ${n(r.parameters)} (every frame on the bus, byte for byte)`],
    ['heartbeats', n(r.heartbeats)],
    ['writes the bridge recorded', `${n(r.bridgeWrites)} (the simulated bridge keeps every write: about 100 bytes each)`],
    ['callback deliveries', n(r.deliveries)],
    ['counters checked', `${r.countersChecked} (13 slots: counter, identifier, data; 4 statistics, 3 statistic slots)`],
    ['counter mismatches', String(r.mismatches.length)],
    ['RSS after 1st million', `${mb(r.memFirstMillion.rss)} (JS heap ${mb(r.memFirstMillion.heap)}, external ${mb(r.memFirstMillion.external)})`],
    ['RSS at the end', `${mb(r.memEnd.rss)} (JS heap ${mb(r.memEnd.heap)}, external ${mb(r.memEnd.external)}); ${growth >= 0 ? '+' : ''}${mb(growth)}, limit +10 MB`],
    ['worst timer lateness', `${r.worstLateMs.toFixed(1)} ms (10 ms interval, ${n(r.ticks)} ticks)`],
    ['event-loop delay', `p99 ${r.delayP99Ms.toFixed(1)} ms, max ${r.delayMaxMs.toFixed(1)} ms`],
    ['command or parameter call', `median ${r.medianCallMs.toFixed(3)} ms, worst ${r.worstCallMs.toFixed(1)} ms`],
    ['feeding one block', `median ${r.medianBlockMs.toFixed(1)} ms, worst ${r.worstBlockMs.toFixed(1)} ms`],
    ['full GC before a reading', `worst ${r.worstGcMs.toFixed(1)} ms`],
    ['duration', `${r.seconds.toFixed(1)} s (feeding ${r.feedSeconds.toFixed(1)} s)`],
    ['result', failures.length === 0 ? 'PASS' : 'FAIL'],
  ];
  const width = Math.max(...rows.map(([k]) => k.length));
  process.stdout.write(rows.map(([k, v]) => `  ${k.padEnd(width)}  ${v}`).join('\n') + '\n');
  process.stdout.write('  frames per class:\n');
  for (const [name, count] of Object.entries(r.classes)) process.stdout.write(`    ${name.padEnd(32)} ${n(count)}\n`);
  for (const f of failures) process.stdout.write(`  FAIL: ${f}\n`);
  return failures.length === 0;
}

// ================================================================= entry

const argv = process.argv.slice(2);
if (argv[0] === '--child') {
  child(Number(argv[1]));
} else {
  const target = argv.length > 0 ? Number(argv[0]) : 10000000;
  if (!Number.isInteger(target) || target < 1) {
    console.error('usage: node bench/soak.js [FRAMES]');
    process.exit(2);
  }
  parent(target);
}
