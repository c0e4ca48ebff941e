'use strict';
// One benchmark scenario per process, on the simulated bridge: a started
// driver cannot be stopped, so the runner starts this file once for every
// run of every figure. Prints the driver's console lines and, last, one
// line "@@BENCH <json>" with the scenario's result.
//
// usage: node bench/figures.js <scenario> [json options]
const path = require('path');
const { SLOT_IDS, LIMITS, frame, serialOf, threadCpuNs, hrNs, quantile, report, wait } = require('./lib');

const U = undefined;
const root = path.resolve(__dirname, '..');
const loadSim = () => require(path.join(root, 'sim'));

// ------------------------------------------------------------- delivery

// Feeds rounds of thirteen frames, one per slot, each round with new data,
// and checks at the end that every slot delivered the content it was last
// fed. `hz` paces the bridge's reads (0: as fast as the driver polls). The
// figures cover the steady state: from the `warmup`th delivery until the
// bridge has handed over its last frame.
async function delivery({ rounds, hz, warmup = 1000, pollMs = 20, settleMs = 200 }) {
  const qel = loadSim();
  const { bridge } = qel;
  const lastDelivered = new Map();
  let deliveries = 0;
  let mark = null;
  qel.registerCallback((s) => {
    deliveries++;
    lastDelivered.set(s.msg_id, serialOf(s));
    if (deliveries === warmup) mark = { cpu: threadCpuNs(), t: hrNs(), pending: bridge.pending() };
  });
  bridge.busSpeed(hz);
  const f = Buffer.alloc(16);
  for (let r = 1; r <= rounds; r++) {
    for (const id of SLOT_IDS) bridge.receive(frame(id, r, f));
  }
  const frames = rounds * SLOT_IDS.length;
  qel.driverStart(0, 0, U, U, SLOT_IDS, U, U);
  while (bridge.pending() > 0) await wait(pollMs);
  const t1 = hrNs();
  const cpu1 = threadCpuNs();
  const delivered = deliveries;
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
  });
}

// ------------------------------------------------------------- latency

// One frame at a time, queued at a random moment of the poll cycle: the
// time from queueing it to the start of its callback, on the bridge's clock.
async function latency({ samples }) {
  const qel = loadSim();
  const { bridge } = qel;
  let arrived = null;
  qel.registerCallback((s) => {
    const t = bridge.now();
    if (arrived) arrived(t);
  });
  bridge.busSpeed(LIMITS.i2cHz);
  qel.driverStart(0, 0, U, U, SLOT_IDS, U, U);
  await wait(50);
  const f = Buffer.alloc(16);
  const us = [];
  for (let i = 1; i <= samples + 10; i++) {
    await wait(1 + Math.random() * 2);
    const delivered = new Promise((resolve) => { arrived = resolve; });
    frame(0x4a1, i, f);  // an event slot: every frame is reported
    const t0 = bridge.now();
    bridge.receive(f);
    const t1 = await delivered;
    if (i > 10) us.push((t1 - t0) * 1000);  // the first ones warm the code up
  }
  us.sort((a, b) => a - b);
  report({ samples: us.length, medianUs: quantile(us, 0.5), p99Us: quantile(us, 0.99), maxUs: us[us.length - 1] });
}

// ------------------------------------------------------------- commands

// sendCommand while the receive thread polls back to back at 400 kHz and
// the heartbeat writes every 5 ms.
async function command({ calls }) {
  const qel = loadSim();
  const { bridge } = qel;
  qel.registerCallback(() => {});
  bridge.busSpeed(LIMITS.i2cHz);
  qel.driverStart(0, 0, 5000, U, U, U, U);
  await wait(50);
  const us = [];
  for (let i = 0; i < calls + 10; i++) {
    await wait(Math.random() * 2);
    const t0 = process.hrtime.bigint();
    qel.sendCommand(-1);  // no setting line; only the success line is printed
    const t1 = process.hrtime.bigint();
    if (i >= 10) us.push(Number(t1 - t0) / 1000);
  }
  us.sort((a, b) => a - b);
  const st = bridge.state();
  report({ calls: us.length, medianUs: quantile(us, 0.5), p99Us: quantile(us, 0.99), maxUs: us[us.length - 1], overlaps: st.overlaps });
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
    return { deliveries: at, seconds: (hrNs() - t0) / 1e9, rss: m.rss, heapUsed: m.heapUsed, external: m.external };
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

// ---------------------------------------------------------------- main

const scenarios = { delivery, latency, command, idle, memory };
const [name, options] = process.argv.slice(2);
if (!scenarios[name]) {
  console.error(`usage: figures.js ${Object.keys(scenarios).join('|')} [json options]`);
  process.exit(2);
}
scenarios[name](options ? JSON.parse(options) : {}).catch((e) => {
  process.stdout.write(`\n@@BENCH ${JSON.stringify({ error: String((e && e.stack) || e) })}\n`, () => process.exit(3));
});
