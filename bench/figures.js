'use strict';
// One benchmark scenario per process, on the simulated bridge: a started
// driver cannot be stopped, so the runner starts this file once for every
// run of every figure. Prints the driver's console lines and, last, one
// line "@@BENCH <json>" with the scenario's result.
//
// usage: node bench/figures.js <scenario> [json options]
const { execFileSync, spawn } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { SLOT_IDS, LIMITS, frame, serialOf, threadCpuNs, threadSwitches, busiestOtherThread, hrNs, quantile, report, wait } = require('./lib');

const U = undefined;
const root = path.resolve(__dirname, '..');
const benchBuild = process.env.QEL_BENCH_BUILD || path.join(root, 'build', 'bench');
const loadSim = () => require(path.join(root, 'sim'));

// ------------------------------------------------------------- delivery

// Feeds rounds of thirteen frames, one per slot, each round with new data,
// and checks at the end that every slot delivered the content it was last
// fed. `hz` paces the bridge's reads (0: as fast as the driver polls). The
// figures cover the steady state: from the `warmup`th delivery until the
// bridge has handed over its last frame.
async function delivery({ rounds, hz, warmup = 1000, pollMs = 5, settleMs = 200 }) {
  const qel = loadSim();
  const { bridge } = qel;
  const lastDelivered = new Map();
  let deliveries = 0;
  let mark = null;
  qel.registerCallback((s) => {
    deliveries++;
    lastDelivered.set(s.msg_id, serialOf(s));
    if (deliveries === warmup) {
      const receiver = busiestOtherThread();
      mark = { cpu: threadCpuNs(), t: hrNs(), pending: bridge.pending(), sw: threadSwitches(), receiver, rsw: threadSwitches(receiver) };
    }
  });
  bridge.busSpeed(hz);
  const f = Buffer.alloc(16);
  for (let r = 1; r <= rounds; r++) {
    for (const id of SLOT_IDS) bridge.receive(frame(id, r, f));
  }
  const frames = rounds * SLOT_IDS.length;
  qel.driverStart(0, 0, U, U, SLOT_IDS, U, U);
  // Few wake-ups of our own while the driver works, a close look at the end.
  for (let left = bridge.pending(); left > 0; left = bridge.pending()) {
    await wait(Math.max(pollMs, hz > 0 ? ((0.8 * left * (1 + 16) * 9) / hz) * 1000 : 0));
  }
  const t1 = hrNs();
  const cpu1 = threadCpuNs();
  const sw1 = threadSwitches();
  const delivered = deliveries;
  const rsw1 = mark ? threadSwitches(mark.receiver) : null;
  await wait(settleMs);  // the last changes still on their way
  if (!mark) throw new Error(`only ${deliveries} deliveries, fewer than the warm-up of ${warmup}`);
  const latest = SLOT_IDS.filter((id) => lastDelivered.get(id) === rounds).length;
  const wallNs = t1 - mark.t;
  const inWindow = delivered - warmup;
  report({
    frames,
    wallNs,
    feedRate: mark.pending / (wallNs / 1e9),
    deliveries: inWindow,
    deliveryRate: inWindow / (wallNs / 1e9),
    deliveredShare: deliveries / frames,
    latestSlots: latest,
    mainCpuNs: cpu1 - mark.cpu,
    mainCpuShare: (cpu1 - mark.cpu) / wallNs,
    mainCpuPerDeliveryNs: (cpu1 - mark.cpu) / inWindow,
    // Per delivery: the main thread's waits (one is the wake-up itself) and
    // preemptions; per frame: the receive thread's waits.
    mainWaitsPerDelivery: (sw1.voluntary - mark.sw.voluntary) / inWindow,
    mainPreemptionsPerDelivery: (sw1.involuntary - mark.sw.involuntary) / inWindow,
    receiverWaitsPerFrame: (rsw1.voluntary - mark.rsw.voluntary) / mark.pending,
  });
}

// --------------------------------------------------------------- floor

// What Node itself charges for one delivery at the bus's pace: the bench's
// own add-on (build/bench/floor) wakes the event loop from a native thread
// once per 400 kHz read and calls a function the way the driver calls the
// application's, with a status object of the same shape (`status`) or with
// none. The function with a status object does what the delivery scenario's
// does; the main thread's CPU counts over `wakeups` calls after `warmup`.
const loadFloor = () => require(path.join(benchBuild, 'floor', 'build', 'Release', 'qel_floor.node'));

// One stretch of the floor: `warmup` calls, then the main thread's CPU over
// `wakeups` calls; the floor's thread stops at the end.
async function floorSegment(addon, { status, wakeups, warmup, hz }) {
  const lastDelivered = new Map();
  let calls = 0;
  let mark = null;
  let end = null;
  const count = () => {
    calls++;
    if (calls === warmup) mark = { cpu: threadCpuNs(), t: hrNs(), sw: threadSwitches() };
    if (calls === warmup + wakeups) end = { cpu: threadCpuNs(), t: hrNs(), sw: threadSwitches() };
  };
  const fn = status ? (s) => { count(); lastDelivered.set(s.msg_id, serialOf(s)); } : () => count();
  addon.start(((1 + 16) * 9 * 1e9) / hz, status, fn);
  while (!end) await wait(Math.max(5, (0.8 * (warmup + wakeups - calls) * (1 + 16) * 9 * 1000) / hz));
  const sent = addon.stop();
  return { cpuNs: end.cpu - mark.cpu, wallNs: end.t - mark.t, waits: end.sw.voluntary - mark.sw.voluntary, sendNs: sent.sendNs };
}

async function floor({ status = true, wakeups = 5500, warmup = 1000, hz = LIMITS.i2cHz }) {
  const s = await floorSegment(loadFloor(), { status, wakeups, warmup, hz });
  report({
    status,
    wakeups,
    wakeRate: wakeups / (s.wallNs / 1e9),
    mainCpuShare: s.cpuNs / s.wallNs,
    mainCpuPerWakeupNs: s.cpuNs / wakeups,
    mainWaitsPerWakeup: s.waits / wakeups,
    sendNs: s.sendNs,
  });
}

// The driver and the floor (with a status object) taken in turns within one
// process, `segments` stretches of each, so that both meet the same load:
// on a shared machine a wake-up's CPU time drifts by a factor of two within
// seconds. The driver is started and stopped for each of its stretches, at
// the bus's pace with all 13 slots changing; the first stretch of each warms
// the engine up and is not counted.
async function pair({ segments = 5, rounds = 150, warmup = 300, hz = LIMITS.i2cHz, settleMs = 50 }) {
  const qel = loadSim();
  const { bridge } = qel;
  const addon = loadFloor();
  let deliveries = 0;
  let mark = null;
  qel.registerCallback(() => {
    deliveries++;
    if (deliveries === warmup) mark = { cpu: threadCpuNs(), t: hrNs() };
  });
  bridge.busSpeed(hz);
  const f = Buffer.alloc(16);
  const driver = { cpuNs: 0, deliveries: 0 };
  const floorTotal = { cpuNs: 0, calls: 0 };
  const stretch = rounds * SLOT_IDS.length - warmup;
  for (let segment = 0; segment < segments; segment++) {
    for (let r = 1; r <= rounds; r++) {
      for (const id of SLOT_IDS) bridge.receive(frame(id, segment * rounds + r, f));
    }
    deliveries = 0;
    mark = null;
    qel.driverStart(0, 0, U, U, SLOT_IDS, U, U);
    for (let left = bridge.pending(); left > 0; left = bridge.pending()) {
      await wait(Math.max(5, ((0.8 * left * (1 + 16) * 9) / hz) * 1000));
    }
    const cpu = threadCpuNs();
    if (!mark) throw new Error(`only ${deliveries} deliveries, fewer than the warm-up of ${warmup}`);
    const counted = segment > 0;
    if (counted) {
      driver.cpuNs += cpu - mark.cpu;
      driver.deliveries += deliveries - warmup;
    }
    await wait(settleMs);
    qel.driverStop();
    const s = await floorSegment(addon, { status: true, wakeups: stretch, warmup, hz });
    if (counted) {
      floorTotal.cpuNs += s.cpuNs;
      floorTotal.calls += stretch;
    }
  }
  const driverPer = driver.cpuNs / driver.deliveries;
  const floorPer = floorTotal.cpuNs / floorTotal.calls;
  report({ segments: segments - 1, driverCpuPerDeliveryNs: driverPer, floorCpuPerWakeupNs: floorPer, ratio: driverPer / floorPer });
}

// ------------------------------------------------------------- latency

// One frame at a time, queued at a random moment of the poll cycle: the
// time from queueing it to the start of its callback, on the bridge's clock.
// The main thread and the receive thread are pinned to different cores, as
// they would run on a quiet machine: on a busy one the scheduler tends to
// run the woken main thread on the receive thread's core at once, which
// hides the wait for the bus lock. Also counted: the bridge reads completed
// between queueing a frame and its callback (1: the read that took it).
async function latency({ samples, pin = true }) {
  const qel = loadSim();
  const { bridge } = qel;
  let arrived = null;
  qel.registerCallback(() => {
    const t = bridge.now();
    const reads = bridge.reads();
    if (arrived) arrived({ t, reads });
  });
  bridge.busSpeed(LIMITS.i2cHz);
  qel.driverStart(0, 0, U, U, SLOT_IDS, U, U);
  await wait(100);
  const pinned = pin && pinThreads(busiestOtherThread());
  const f = Buffer.alloc(16);
  const us = [];
  const reads = [];
  for (let i = 1; i <= samples + 10; i++) {
    await wait(1 + Math.random() * 2);
    const delivered = new Promise((resolve) => { arrived = resolve; });
    frame(0x4a1, i, f);  // an event slot: every frame is reported
    const r0 = bridge.reads();
    const t0 = bridge.now();
    bridge.receive(f);
    const got = await delivered;
    if (i > 10) {  // the first ones warm the code up
      us.push((got.t - t0) * 1000);
      reads.push(got.reads - r0);
    }
  }
  us.sort((a, b) => a - b);
  report({
    samples: us.length,
    pinned,
    medianUs: quantile(us, 0.5),
    p99Us: quantile(us, 0.99),
    maxUs: us[us.length - 1],
    oneReadShare: reads.filter((n) => n <= 1).length / reads.length,
    meanReads: reads.reduce((a, b) => a + b, 0) / reads.length,
  });
}

// The main thread on core 0, the receive thread on core 1; false when the
// machine has one core or taskset is missing.
function pinThreads(receiver) {
  if (os.cpus().length < 2 || !receiver) return false;
  try {
    execFileSync('taskset', ['-pc', '1', String(receiver)], { stdio: 'ignore' });
    execFileSync('taskset', ['-pc', '0', String(process.pid)], { stdio: 'ignore' });
    return true;
  } catch {
    return false;
  }
}

// ------------------------------------------------------------- commands

// sendCommand while the receive thread polls back to back at 400 kHz and
// the heartbeat writes every 5 ms, threads pinned as for the latency. Also
// counted: the bridge reads completed during a call (at most the one in
// progress when the call began, if the receive thread lets the command go
// first).
async function command({ calls, pin = true }) {
  const qel = loadSim();
  const { bridge } = qel;
  qel.registerCallback(() => {});
  bridge.busSpeed(LIMITS.i2cHz);
  qel.driverStart(0, 0, 5000, U, U, U, U);
  await wait(100);
  const pinned = pin && pinThreads(busiestOtherThread());
  const us = [];
  const reads = [];
  for (let i = 0; i < calls + 10; i++) {
    await wait(Math.random() * 2);
    const r0 = bridge.reads();
    const t0 = process.hrtime.bigint();
    qel.sendCommand(-1);  // no setting line; only the success line is printed
    const t1 = process.hrtime.bigint();
    if (i >= 10) {
      us.push(Number(t1 - t0) / 1000);
      reads.push(bridge.reads() - r0);
    }
  }
  us.sort((a, b) => a - b);
  report({
    calls: us.length,
    pinned,
    medianUs: quantile(us, 0.5),
    p99Us: quantile(us, 0.99),
    maxUs: us[us.length - 1],
    oneReadShare: reads.filter((n) => n <= 1).length / reads.length,
    overlaps: bridge.state().overlaps,
  });
}

// ------------------------------------------------- asynchronous commands

// The event loop while the bus runs at the link's pace (reads back to back
// at 400 kHz, heartbeat every 5 ms) and a command goes every 10 ms, in
// segments that take turns in one process: no commands, Bus.send (the
// transmit thread writes), sendCommand (the main thread writes). Each
// segment samples the event loop's delay (perf_hooks) at 1 ms. (The CPU of
// a command is sendCost's: here it would be the small difference of two
// segments' CPU, which the machine's load moves more than the commands.)
// Then Bus.read and readStatus timed in turns while the receive thread
// reads back to back.
async function asyncCommand({ segmentMs = 2000, rounds = 3, reads = 3000 }) {
  const { monitorEventLoopDelay } = require('perf_hooks');
  const qel = loadSim();
  const { bridge } = qel;
  bridge.busSpeed(LIMITS.i2cHz);
  const bus = qel.open({ i2cDelay: 0, canBusDelay: 0, heartbeat: 5000, console: false });
  await wait(100);
  const modes = { idle: [], async: [], sync: [] };
  const latencyUs = [];
  const callUs = { async: [], sync: [] };
  const calls = [];  // every command in call order, both kinds: its mode and bridge time
  let failures = 0;
  const segment = async (mode) => {
    const h = monitorEventLoopDelay({ resolution: 1 });
    let commands = 0;
    const timer = setInterval(() => {
      if (mode === 'idle') return;
      calls.push({ mode, atMs: bridge.now() });
      const t0 = hrNs();
      if (mode === 'sync') {
        qel.sendCommand(commands & 0xff);
      } else {
        bus.send({ tft: commands & 0xff }).then(() => latencyUs.push((hrNs() - t0) / 1000), () => { failures++; });
      }
      callUs[mode].push((hrNs() - t0) / 1000);
      commands++;
    }, 10);
    h.enable();
    await wait(segmentMs);
    h.disable();
    clearInterval(timer);
    await wait(50);  // the last promises settle outside the window
    modes[mode].push({ commands, p99Ms: h.percentile(99) / 1e6, maxMs: h.max / 1e6, meanMs: h.mean / 1e6 });
  };
  for (let r = 0; r < rounds; r++) {
    for (const mode of ['idle', 'async', 'sync']) await segment(mode);
  }
  // Each call at a random moment of the receive cycle: a short spin of
  // 0-500 us before it, the two functions in turns.
  const readUs = [];
  const statusUs = [];
  const spin = (us) => { for (const end = hrNs() + us * 1000; hrNs() < end;) { /* spin */ } };
  const timed = (fn, out) => {
    spin(Math.random() * 500);
    const t0 = hrNs();
    fn();
    out.push((hrNs() - t0) / 1000);
  };
  for (let i = 0; i < reads; i++) {
    timed(() => bus.read(0x1a1), readUs);
    timed(() => qel.readStatus(0x1a1), statusUs);
    if (i % 100 === 99) await wait(1);
  }
  readUs.sort((a, b) => a - b);
  statusUs.sort((a, b) => a - b);
  const overlaps = bridge.state().overlaps;
  // Both kinds write their frames in call order, so the n-th command frame
  // on the bus is the n-th call's; its write ends one transfer after it began.
  const transferMs = (bytes) => ((1 + bytes) * 9 * 1000) / LIMITS.i2cHz;
  const frames = bridge.writes().filter((w) => w.bytes[0] === 0x30 && w.bytes[3] === 0x04 && w.bytes[4] === 0xe0);
  const writtenUs = failures > 0 || frames.length !== calls.length ? [] : calls
    .map((c, n) => (c.mode === 'async' ? 1000 * (frames[n].time + transferMs(frames[n].bytes.length) - c.atMs) : undefined))
    .filter((us) => us !== undefined).sort((a, b) => a - b);
  await bus.close();
  const worst = (mode, key) => Math.max(...modes[mode].map((m) => m[key]));
  const mid = (mode, key) => quantile(modes[mode].map((m) => m[key]).sort((a, b) => a - b), 0.5);
  latencyUs.sort((a, b) => a - b);
  for (const list of Object.values(callUs)) list.sort((a, b) => a - b);
  report({
    delayP99Ms: { idle: mid('idle', 'p99Ms'), async: mid('async', 'p99Ms'), sync: mid('sync', 'p99Ms') },
    delayMaxMs: { idle: worst('idle', 'maxMs'), async: worst('async', 'maxMs'), sync: worst('sync', 'maxMs') },
    callMedianUs: { async: quantile(callUs.async, 0.5), sync: quantile(callUs.sync, 0.5) },
    callP99Us: { async: quantile(callUs.async, 0.99), sync: quantile(callUs.sync, 0.99) },
    latencyMedianUs: quantile(latencyUs, 0.5),
    latencyP99Us: quantile(latencyUs, 0.99),
    writtenMedianUs: writtenUs.length > 0 ? quantile(writtenUs, 0.5) : undefined,
    writtenP99Us: writtenUs.length > 0 ? quantile(writtenUs, 0.99) : undefined,
    commands: latencyUs.length,
    failures,
    readMedianUs: quantile(readUs, 0.5),
    readP99Us: quantile(readUs, 0.99),
    readStatusMedianUs: quantile(statusUs, 0.5),
    readStatusP99Us: quantile(statusUs, 0.99),
    overlaps,
  });
}

// Main-thread CPU of Bus.send on the thread's own clock, over `commands`
// sends, in parts: send()'s checks alone; the add-on's queueing alone (its
// argument checks, the frame, the line it prints, waking the transmit
// thread); the whole call; and each send awaited before the next, so that
// every command has a wake-up of its own, as one every 10 ms would. What
// an awaited send costs beyond its call is the wake-up that brings the
// result and the settling. Beside it, what no driver can save: Node's own
// wake-up from a native thread at the same pace, calling a function in a
// callback scope (the floor add-on of figure 2a, when built; at 400 kHz
// only, where the main thread sleeps between commands), and a
// promise made, resolved and awaited in JavaScript alone. The awaited
// sends are taken with the console off, and again with a console function
// that does nothing: the difference is the cost of the command's two
// lines. `hz` 0 is the instant bus (a poll every ms); at 400 kHz the
// receive thread reads back to back and the heartbeat goes every 5 ms, and
// the main thread's CPU over as long a time without commands is taken off.
// sendCommand, for comparison, spins on the main thread for its transfer.
// `tree`: another copy of the project, to compare.
async function sendCost({ commands = 10000, hz = 0, tree = root, calls = 1000, rounds = 5 }) {
  const qel = require(path.join(tree, 'sim'));
  const { commandArguments } = require(path.join(tree, 'lib', 'open', 'checks'));
  const queueCommand = qel[Symbol.for('corvalith.queueCommand')];
  const { bridge } = qel;
  bridge.busSpeed(hz);
  const settings = hz ? { i2cDelay: 0, canBusDelay: 0, heartbeat: 5000 } : { i2cDelay: 1000, canBusDelay: 0, heartbeat: 100000 };
  // The main thread's clock: the floor add-on's, exact while the thread
  // runs (a burst of calls never leaves the CPU, and /proc's account would
  // not move during it), else /proc's.
  const floorAddon = path.join(benchBuild, 'floor', 'build', 'Release', 'qel_floor.node');
  const hasFloorAddon = fs.existsSync(floorAddon);
  const cpuNs = hasFloorAddon ? require(floorAddon).threadCpuNs : threadCpuNs;
  // The main thread's CPU while `fn` runs, per command, in us, with the
  // wall time per command; where the thread sleeps between commands, less
  // its CPU over as long a time idle.
  let idleNsPerNs = 0;
  const cpuOf = async (n, fn, sleeps = false) => {
    const c0 = cpuNs();
    const t0 = hrNs();
    await fn();
    const wall = hrNs() - t0;
    return { us: (cpuNs() - c0 - (sleeps ? idleNsPerNs * wall : 0)) / n / 1000, wallUs: wall / n / 1000 };
  };
  const awaited = async (consoleOption, n) => {
    let lines = 0;
    const bus = qel.open({ ...settings, console: consoleOption && (() => { lines++; }) });
    await wait(100);
    for (let i = 0; i < 200; i++) await bus.send({ tft: i & 0xff });  // warm-up
    lines = 0;
    const cost = await cpuOf(n, async () => { for (let i = 0; i < n; i++) await bus.send({ tft: i & 0xff }); }, true);
    await bus.close();
    return { ...cost, lines };
  };
  // Node's floor at the awaited sends' pace, beside the driver's threads.
  const floorOf = async (n, periodUs) => {
    const floorBus = qel.open({ ...settings, console: false });
    await wait(100);
    const addon = require(floorAddon);
    let wakeups = 0;
    let done = null;
    const finished = new Promise((resolve) => { done = resolve; });
    const cost = await cpuOf(n, async () => {
      addon.start(periodUs * 1000, false, () => { if (++wakeups === n) done(); });
      await finished;
    }, true);
    addon.stop();
    await floorBus.close();
    return cost;
  };
  const bus = qel.open({ ...settings, console: false });
  await wait(100);
  if (hz) {
    const c0 = cpuNs();
    const t0 = hrNs();
    await wait(2000);
    idleNsPerNs = (cpuNs() - c0) / (hrNs() - t0);
  }
  // The CPU of the calls alone, 63 at a time, and then the wait for their
  // frames (a send after them settles after them).
  const burst = async (call) => {
    let ns = 0;
    for (let i = 0; i < commands; i += 63) {
      const n = Math.min(63, commands - i);
      const c0 = cpuNs();
      for (let j = 0; j < n; j++) call(j);
      ns += cpuNs() - c0;
      await bus.send({ tft: 0 });
    }
    return ns / commands / 1000;
  };
  for (let i = 0; i < 2000; i++) commandArguments({ tft: i & 0xff });  // warm-up
  const checks = await cpuOf(commands, () => { for (let i = 0; i < commands; i++) commandArguments({ tft: i & 0xff }); });
  await burst((j) => queueCommand(j, -1, -1, -1, -1));
  const queueUs = await burst((j) => queueCommand(j, -1, -1, -1, -1));
  await burst((j) => bus.send({ tft: j }));
  const callUs = await burst((j) => bus.send({ tft: j }));
  let settle = null;
  const made = () => new Promise((resolve) => { settle = resolve; });
  const promise = await cpuOf(commands, async () => {
    for (let i = 0; i < commands; i++) {
      const p = made();
      settle();
      await p;
    }
  });
  const sync = await cpuOf(calls, () => { for (let i = 0; i < calls; i++) qel.sendCommand(i & 0xff); });
  await bus.close();
  // The awaited sends, with and without lines, and the floor taken in
  // turns, `rounds` of each, so that all three meet the same load.
  const total = { quiet: { us: 0, wallUs: 0 }, printing: { us: 0, lines: 0 }, floor: { us: 0 } };
  const share = Math.ceil(commands / rounds);
  const hasFloor = hz > 0 && hasFloorAddon;
  for (let r = 0; r < rounds; r++) {
    const quiet = await awaited(false, share);
    const printing = await awaited(true, share);
    total.quiet.us += quiet.us / rounds;
    total.quiet.wallUs += quiet.wallUs / rounds;
    total.printing.us += printing.us / rounds;
    total.printing.lines += printing.lines / share / rounds;
    if (hasFloor) total.floor.us += (await floorOf(share, quiet.wallUs)).us / rounds;
  }
  const quiet = total.quiet;
  const printing = total.printing;
  const floorUs = hasFloor ? total.floor.us : null;
  report({
    commands, hz, calls,
    checksUs: checks.us, queueUs, callUs,
    awaitedUs: quiet.us,
    awaitedWallUs: quiet.wallUs,
    wakeAndSettleUs: quiet.us - callUs,
    floorWakeUs: floorUs,
    promiseUs: promise.us,
    consoleUs: printing.us - quiet.us,
    linesPerCommand: printing.lines,
    sendCommandUs: sync.us,
    overlaps: bridge.state().overlaps,
  });
}

// -------------------------------------------------------------- capture

// A capture of `frames` frames queued at once, polled back to back (`hz`
// paces the bridge's reads, 0: instant). The frames carry an identifier
// that no slot lists, so that the driver delivers nothing and the main
// thread works for the capture alone; with `record` the batches are also
// written as a candump log, as qel-monitor --record does. The main thread's
// CPU counts from the first batch to the last frame.
async function capture({ frames, hz, record = false, pollMs = 20 }) {
  const qel = loadSim();
  const { bridge } = qel;
  const f = Buffer.alloc(16);
  for (let i = 0; i < frames; i++) bridge.receive(frame(0x123, i, f));
  bridge.busSpeed(hz);
  let got = 0, dropped = 0, batches = 0, inOrder = true, mark = null;
  const take = (b) => {
    if (!mark) mark = { cpu: threadCpuNs(), t: hrNs() };
    batches++;
    dropped += b.dropped;
    for (let i = 0; i < b.count; i++) if (b.data[8 * i] !== ((got + i) & 0xff)) inOrder = false;
    got += b.count;
  };
  let recording = null;
  if (record) {
    const { startRecording } = require(path.join(root, 'lib', 'monitor', 'record'));
    const file = path.join(root, 'build', 'bench', 'capture.log');
    recording = startRecording(file, 'qel0');
    recording.start({ capture: (fn) => qel.capture(fn && ((b) => { take(b); fn(b); })) });
  } else {
    qel.capture(take);
  }
  qel.registerCallback(() => {});
  qel.driverStart(0, 0, 0, U, U, U, U);
  while (got + dropped < frames) await wait(pollMs);
  const cpu = threadCpuNs() - mark.cpu;
  const wallNs = hrNs() - mark.t;
  if (recording) recording.stop();
  report({ frames, got, dropped, batches, inOrder, framesPerS: got / (wallNs / 1e9), mainCpuPerFrameNs: cpu / got, mainCpuShare: cpu / wallNs });
}

// ---------------------------------------------------------------- replay

// Writes a candump log of `count` frames, `rate` frames a second, arriving
// at random moments (exponential gaps), spread over identifiers of slots
// and others; a chunk at a time, so that a log of millions of frames costs
// no memory here. -> { count, s: the span of its times, bytes }
function writeLog(file, { rate, count, seed = 7 }) {
  const ids = [0x1a1, 0x2a1, 0x3a1, 0x4a1, 0x2c0, 0x2c1, 0x123, 0x18f, 0x5a0, 0x6ff, 0x050, 0x701, 0x0a0, 0x0b4, 0x316, 0x43f];
  let state = seed;
  const random = () => ((state = (Math.imul(state, 1103515245) + 12345) >>> 0) / 4294967296);
  const fd = fs.openSync(file, 'w');
  let lines = [];
  let bytes = 0;
  let first = null;
  let t = 1700000000e6;
  for (let n = 0; n < count; n++) {
    t += Math.max(1, Math.round(-Math.log(1 - random()) * (1e6 / rate)));
    if (first === null) first = t;
    const id = ids[Math.floor(random() * ids.length)];
    const data = Buffer.from(Array.from({ length: 1 + Math.floor(random() * 8) }, () => Math.floor(random() * 256)));
    lines.push(`(${Math.floor(t / 1e6)}.${String(t % 1e6).padStart(6, '0')}) can0 ${id.toString(16).toUpperCase().padStart(3, '0')}#${data.toString('hex').toUpperCase()}\n`);
    if (lines.length === 10000 || n === count - 1) {
      bytes += fs.writeSync(fd, lines.join(''));
      lines = [];
    }
  }
  fs.closeSync(fd);
  return { count, s: (t - first) / 1e6, bytes };
}

// The frame lines of a candump log, read a chunk at a time -> { count, s:
// the span from the first line's time to the last one's }.
function spanOf(file) {
  const fd = fs.openSync(file, 'r');
  const chunk = Buffer.alloc(1 << 20);
  let rest = '';
  let count = 0;
  let first = null;
  let last = null;
  for (let n; (n = fs.readSync(fd, chunk, 0, chunk.length, null)) > 0;) {
    const lines = (rest + chunk.toString('latin1', 0, n)).split('\n');
    rest = lines.pop();
    for (const l of lines) {
      if (l[0] !== '(') continue;
      count++;
      last = Number(l.slice(1, l.indexOf(')')));
      if (first === null) first = last;
    }
  }
  fs.closeSync(fd);
  return { count, s: last - first };
}

// The peak resident size of a process so far (VmHWM), in bytes, or NaN.
function peakRss(pid) {
  try {
    return 1024 * Number(/^VmHWM:\s*(\d+) kB/m.exec(fs.readFileSync(`/proc/${pid}/status`, 'utf8'))[1]);
  } catch {
    return NaN;
  }
}

// qel-monitor --replay of a generated log of `rate` frames a second for
// `seconds` (or of `frames` frames), in a temporary directory removed
// after. Compared: the span of the log, and the span over which the driver
// read the frames (recorded with --record), and the monitor's whole run
// less its start-up (until its first line); its peak resident size, as
// last seen every 100 ms. `nodeArgs` and `args` go to the monitor.
async function replay({ rate, seconds, frames = rate * seconds, nodeArgs = [], args = [] }) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'qel-bench-replay-'));
  try {
    const log = path.join(dir, 'replay.log');
    const out = path.join(dir, 'replay-read.log');
    const recorded = writeLog(log, { rate, count: frames });
    const t0 = hrNs();
    let startupNs = null;
    const child = spawn(process.execPath, [...nodeArgs, path.join(root, 'bin', 'qel-monitor.js'), '--replay', log, '--lines', '--record', out, ...args], { stdio: ['ignore', 'pipe', 'ignore'] });
    child.stdout.on('data', () => { if (startupNs === null) startupNs = hrNs() - t0; });
    let peak = 0;
    const watch = setInterval(() => { peak = Math.max(peak, peakRss(child.pid) || 0); }, 100);
    const code = await new Promise((resolve) => child.on('close', resolve));
    clearInterval(watch);
    const wallNs = hrNs() - t0;
    const read = spanOf(out);
    report({ code, frames: recorded.count, logBytes: recorded.bytes, framesRead: read.count, recordedS: recorded.s, readS: read.s, startupS: startupNs / 1e9, wallS: wallNs / 1e9, peakRss: peak || NaN });
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

// ----------------------------------------------------------------- idle

// CPU of the whole process per second of run with the default settings
// and no traffic; `driver` false measures an idle Node without it.
async function idle({ driver = true, hz = 0, settleMs = 1000, measureMs = 4000 }) {
  let qel;
  if (driver) {
    qel = loadSim();
    qel.registerCallback(() => {});
    qel.bridge.busSpeed(hz);
    qel.driverStart(U, U, U, U, U, U, U);
  } else {
    setInterval(() => {}, 1 << 30);
  }
  // Every poll without traffic reads an empty frame.
  const polls = () => (driver ? qel.readStatus(0xffe).driver_stats.empty : 0);
  await wait(settleMs);
  const p0 = polls();
  const c0 = process.cpuUsage();
  const t0 = hrNs();
  await wait(measureMs);
  const c = process.cpuUsage(c0);
  const wallNs = hrNs() - t0;
  report({
    wallNs,
    cpuUs: c.user + c.system,
    share: ((c.user + c.system) * 1000) / wallNs,
    pollsPerS: (polls() - p0) / (wallNs / 1e9),
  });
}

// ---------------------------------------------------------------- memory

// Resident size after a number of deliveries, fed faster than the main
// thread can deliver: every round queues one new frame for each of the
// eight debounced slots and a long run of one frame for each of the five
// slots of the event class (the two cyclic ones made events), which the
// bridge keeps as one entry each. So the simulated bridge's queue stays
// small while the receive loop never runs dry.
async function memory({ marks, budgetMs, run = 20000 }) {
  const qel = loadSim();
  const { bridge } = qel;
  const EVENT_IDS = [0x1a1, 0x3a1, 0x421, 0x4a1, 0x4e0];
  const DEBOUNCED_IDS = SLOT_IDS.filter((id) => !EVENT_IDS.includes(id));
  const f = Buffer.alloc(16);
  let round = 0;
  const topUp = () => {
    while (bridge.pending() < 4 * run * EVENT_IDS.length) {
      round++;
      for (const id of DEBOUNCED_IDS) bridge.receive(frame(id, round, f));
      for (const id of EVENT_IDS) bridge.receive(frame(id, round, f), run);
    }
  };
  let deliveries = 0;
  qel.registerCallback(() => { deliveries++; });
  topUp();
  const feeder = setInterval(topUp, 5);
  qel.driverStart(0, 0, U, U, SLOT_IDS, [], U);
  const t0 = hrNs();
  const sample = (at) => {
    global.gc();
    const m = process.memoryUsage();
    return { deliveries: at, seconds: (hrNs() - t0) / 1e9, rss: m.rss, heapTotal: m.heapTotal, heapUsed: m.heapUsed, external: m.external, arrayBuffers: m.arrayBuffers };
  };
  const points = [];
  for (const mark of marks) {
    while (deliveries < mark && (hrNs() - t0) / 1e6 < budgetMs) await wait(20);
    if (deliveries < mark) break;
    points.push(sample(deliveries));
  }
  clearInterval(feeder);
  const end = sample(deliveries);
  report({ points, end, budgetHit: points.length < marks.length });
}

// --------------------------------------------------------- instructions

// What the driver costs in guest instructions, for the emulator's counting
// plugin (bench/insn_count.c): open() with its default delays (or another
// `canBusDelay`), then a stretch that the plugin's counts bracket, either
// idle for `windows` of `idleMs` or until `frames` frames, fed to the
// bridge at once just before it, have all been read. One frame in
// `changeEvery` changes a slot (new data for the next enabled slot in
// turn); the others repeat the last data of a cyclic slot, which the
// receive thread takes and filters (0: none changes). Mark 0 comes before
// open(), so the threads that first run after it are the driver's; marks 1
// and 2 bracket the stretch.
const MARK_BASE = 0x51e1000;
const mark = (n) => {
  try {
    fs.closeSync(MARK_BASE + n);
  } catch { /* never open: the close is the plugin's signal */ }
};

async function instructions({ frames = 0, changeEvery = 1, canBusDelay, warmup = 100, idleMs = 5000, windows = 8, settleMs = 3000 }) {
  const qel = loadSim();
  const { bridge } = qel;
  const { defaults } = require('../lib/facts');
  const ids = defaults.enabledIds;
  const cyclic = defaults.cyclicIds;
  const pollUs = canBusDelay === undefined ? defaults.canBusDelay : canBusDelay;
  mark(0);
  const bus = qel.open({ console: false, canBusDelay: pollUs });
  // The listener wakes the scenario itself once `until` statuses are in,
  // so that no polling of ours is counted.
  let deliveries = 0;
  let until = Infinity;
  let reached = () => {};
  bus.on('status', () => {
    deliveries++;
    if (deliveries === until) reached();
  });
  // Three times the time that one frame per poll takes, and then some.
  const deadlineMs = 10000 + (3 * (frames + warmup) * Math.max(pollUs, 5000)) / 1000;
  const delivered = (n) => new Promise((resolve) => {
    until = deliveries + n;
    reached = resolve;
    setTimeout(resolve, deadlineMs).unref();
  });
  const polls = () => bus.read(ids[0]).driver_stats.empty;
  const f = Buffer.alloc(16);
  // Distinct data in every changing frame, so that each one is a change to
  // deliver; a repeat takes a cyclic slot's last data again.
  let serial = 0;
  const last = new Map();
  let repeats = 0;
  const change = () => {
    const id = ids[serial % ids.length];
    serial++;
    last.set(id, serial);
    bridge.receive(frame(id, serial, f));
  };
  const repeat = () => {
    const id = cyclic[repeats++ % cyclic.length];
    bridge.receive(frame(id, last.get(id), f));
  };
  // The last frame is a change when any is, so that its delivery tells
  // that every frame was read.
  const feed = (n, every) => {
    let changes = 0;
    for (let i = 1; i <= n; i++) {
      if (every > 0 && (n - i) % every === 0) {
        change();
        changes++;
      } else {
        repeat();
      }
    }
    return changes;
  };
  await wait(settleMs);
  // The first frames run through code that V8 has not compiled yet; they
  // give every slot its data.
  const warm = delivered(warmup);
  feed(warmup, 1);
  await warm;
  const changes = frames > 0 && changeEvery > 0 ? Math.ceil(frames / changeEvery) : 0;
  let done = changes > 0 ? delivered(changes) : null;
  feed(frames, changeEvery);
  // With short pauses two changes of a slot can meet before the main
  // thread takes the first, and come as one status: then the stretch ends
  // once the bridge's queue is empty and no status came for a while.
  let look = null;
  if (done && canBusDelay !== undefined) {
    let seen = -1;
    const quiet = new Promise((resolve) => {
      look = setInterval(() => {
        if (bridge.pending() === 0 && deliveries === seen) resolve();
        seen = deliveries;
      }, 250);
    });
    done = Promise.race([done, quiet]);
  }
  const d0 = deliveries;
  const p0 = polls();
  const t0 = hrNs();
  mark(1);
  // Idle, a row of windows, marks 2, 3, ...: V8 collects garbage on its
  // own threads for many seconds at a time in the first minute, and the
  // runner takes the quietest window as the driver's idle cost.
  const windowsNs = [];
  if (done) {
    await done;
    mark(2);
    clearInterval(look);
  } else if (frames > 0) {
    // Nothing to deliver: a look at the bridge's queue now and then, which
    // costs the main thread next to nothing beside the frames.
    const by = Date.now() + deadlineMs;
    while (bridge.pending() > 0 && Date.now() < by) await wait(Math.max(200, (bridge.pending() * pollUs) / 1000));
    mark(2);
  } else {
    for (let w = 0, t = t0; w < windows; w++) {
      await wait(idleMs);
      mark(2 + w);
      windowsNs.push(hrNs() - t);
      t = hrNs();
    }
  }
  const wallNs = hrNs() - t0;
  const emptyPolls = polls() - p0;
  report({ frames, changes, deliveries: deliveries - d0, wallNs, windowsNs, emptyPolls, left: bridge.pending(), settings: { ...defaults, canBusDelay: pollUs } });
}

// ---------------------------------------------------------------- main

const scenarios = { delivery, floor, pair, latency, command, asyncCommand, sendCost, capture, replay, idle, memory, instructions };
const [name, options] = process.argv.slice(2);
if (!scenarios[name]) {
  console.error(`usage: figures.js ${Object.keys(scenarios).join('|')} [json options]`);
  process.exit(2);
}
scenarios[name](options ? JSON.parse(options) : {}).catch((e) => {
  process.stdout.write(`\n@@BENCH ${JSON.stringify({ error: String((e && e.stack) || e) })}\n`, () => process.exit(3));
});
