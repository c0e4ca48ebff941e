'use strict';
// Runs every benchmark figure several times and prints one table: for each
// figure the median of its runs with the spread (min-max), its ratio to the
// limit it belongs to, and the goal. A benchmark judges nothing: the table
// says whether a goal was met, and the command's exit status does not.
//
// usage: node bench/run.js [--runs N] [--only name,name] [--json file]
//                           [--memory-budget-ms N] [--table-from saved.json[,more.json]]
//                           [--insn idle,changed,repeated,saturated,saturatedAll]
// (tools/qel-bench builds what this needs first)
const { spawn } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { LIMITS, median } = require('./lib');

const root = path.resolve(__dirname, '..');
// tools/qel-bench --platform (bench/platform.sh) points these at an ARM
// platform's builds, its copy of the project, its Node and the emulator that
// runs them; otherwise they are this tree's and this Node.
const buildDir = process.env.QEL_BENCH_BUILD || path.join(root, 'build', 'bench');
const figuresJs = path.join(process.env.QEL_BENCH_TREE || root, 'bench', 'figures.js');
const [nodeCommand, ...nodePrefix] = process.env.QEL_BENCH_NODE ? process.env.QEL_BENCH_NODE.split(' ') : [process.execPath];
const emulator = process.env.QEL_BENCH_EMULATOR || '';
const coreBench = path.join(buildDir, 'core_bench');
const lockBench = path.join(buildDir, 'lock_bench');

const argv = process.argv.slice(2);
const option = (name, fallback) => {
  const at = argv.indexOf(`--${name}`);
  return at >= 0 ? argv[at + 1] : fallback;
};
const RUNS = Number(option('runs', 5));
const ONLY = option('only', '') ? option('only').split(',') : null;
const JSON_OUT = option('json', path.join(buildDir, 'results.json'));
// The memory figure runs last and takes what is left of five minutes for
// the whole command (tools/qel-bench passes the moment it began), at most
// two and a half minutes; --memory-budget-ms sets it outright.
const COMMAND_STARTED = Number(process.env.QEL_BENCH_STARTED_MS) || Date.now();
const memoryBudgetMs = () => {
  if (option('memory-budget-ms')) return Number(option('memory-budget-ms'));
  const left = 300000 - (Date.now() - COMMAND_STARTED) - 30000;
  return Math.max(15000, Math.min(150000, left));
};
const TABLE_FROM = option('table-from', '');  // prints the table of a saved run
// The instruction counts' cases to run (all by default): idle, changed,
// repeated, saturated, saturatedAll.
const INSN_CASES = option('insn', '') ? option('insn').split(',') : null;

const LARGE_REPLAY = { frames: 2000000, rate: 50000 };
// The pause between polls at a saturated bus: a 16-byte read at 400 kHz
// takes 383 us, and 2,250 frames a second leave 444 us a poll.
const SATURATED_POLL_US = 50;
const started = Date.now();
const loadAtStart = os.loadavg()[0].toFixed(2);
const progress = (text) => process.stderr.write(`qel-bench: ${text}\n`);

// ------------------------------------------------------------ processes

// A C++ bench program, on the emulator when there is one.
const runProgram = (program, args, options) => (emulator ? runChild(emulator, [program, ...args], options) : runChild(program, args, options));

function runChild(command, args, { timeoutMs = 120000, env = {} } = {}) {
  return new Promise((resolve) => {
    const child = spawn(command, args, { cwd: root, env: { ...process.env, ...env }, stdio: ['ignore', 'pipe', 'pipe'] });
    let stdout = '';
    let stderr = '';
    child.stdout.on('data', (d) => { stdout += d; });
    child.stderr.on('data', (d) => { stderr += d; });
    const timer = setTimeout(() => child.kill('SIGKILL'), timeoutMs);
    child.on('close', (code, signal) => {
      clearTimeout(timer);
      resolve({ code, signal, stdout, stderr });
    });
  });
}

// One run of a scenario of bench/figures.js; its result, or { error }.
async function scenario(name, options, { nodeArgs = [], timeoutMs, env } = {}) {
  const r = await runChild(nodeCommand, [...nodePrefix, ...nodeArgs, figuresJs, name, JSON.stringify(options)], { timeoutMs, env: { QEL_BENCH_BUILD: buildDir, ...env } });
  const at = r.stdout.lastIndexOf('@@BENCH ');
  if (at < 0) return { error: `exit ${r.code} ${r.signal || ''}: ${(r.stderr || r.stdout).trim().split('\n').slice(-3).join(' | ')}` };
  return JSON.parse(r.stdout.slice(at + 8).split('\n')[0]);
}

// One run of the instructions scenario under the emulator with the counting
// plugin (QEL_BENCH_INSN_PLUGIN, bench/insn_plugin.sh): the scenario's result
// with, per kind of thread, the instructions (`insn`), system calls (`sys`),
// waits for events (`waits`) and write(2) calls (`writes`) between its
// marks 1 and 2. A thread is the
// driver's when it first ran after mark 0, just before open(). `tree`: a
// copy of the project with other add-ons (the ARMv6 build).
async function counted(options, tree) {
  const plugin = process.env.QEL_BENCH_INSN_PLUGIN;
  const script = tree ? path.join(tree, 'bench', 'figures.js') : figuresJs;
  if (!plugin || nodeCommand !== emulator) return { error: 'instructions are counted under the emulator only: tools/qel-bench --platform armhf|arm64' };
  const out = path.join(buildDir, `insn-${process.pid}.txt`);
  const r = await runChild(emulator, ['-plugin', `${plugin},out=${out}`, ...nodePrefix, script, 'instructions', JSON.stringify(options)],
    { timeoutMs: 240000, env: { QEL_BENCH_BUILD: buildDir } });
  let lines = [];
  try {
    lines = fs.readFileSync(out, 'utf8').split('\n');
    fs.rmSync(out);
  } catch { /* no counts: the run failed */ }
  const at = r.stdout.lastIndexOf('@@BENCH ');
  if (at < 0) return { error: `exit ${r.code} ${r.signal || ''}: ${(r.stderr || r.stdout).trim().split('\n').slice(-3).join(' | ')}` };
  const result = JSON.parse(r.stdout.slice(at + 8).split('\n')[0]);
  if (result.error) return result;
  const counts = new Map();  // vcpu -> { born, insn: { mark: count }, sys: {...}, waits: {...} }
  for (const line of lines) {
    const m = /^mark (\d+) vcpu (\d+) born (-?\d+) count (\d+) syscalls (\d+) waits (\d+) writes (\d+)$/.exec(line);
    if (!m) continue;
    const c = counts.get(m[2]) || { born: Number(m[3]), insn: {}, sys: {}, waits: {}, writes: {} };
    c.insn[m[1]] = Number(m[4]);
    c.sys[m[1]] = Number(m[5]);
    c.waits[m[1]] = Number(m[6]);
    c.writes[m[1]] = Number(m[7]);
    counts.set(m[2], c);
  }
  if (!counts.has('0') || counts.get('0').insn[2] === undefined) return { error: 'the plugin wrote no counts at the marks' };
  // What each kind of thread did from mark `from` to mark `to`.
  let driverThreads = 0;
  for (const c of counts.values()) if (c.born === 0) driverThreads++;
  const between = (field, from, to) => {
    const kinds = { main: 0, driver: 0, other: 0 };
    for (const [vcpu, c] of counts) kinds[vcpu === '0' ? 'main' : c.born === 0 ? 'driver' : 'other'] += (c[field][to] || 0) - (c[field][from] || 0);
    return kinds;
  };
  const span = (from, to) => ({ insn: between('insn', from, to), sys: between('sys', from, to), waits: between('waits', from, to), writes: between('writes', from, to) });
  if (result.windowsNs.length === 0) return { ...result, ...span(1, 2), driverThreads };
  // Idle: the quietest window stands for the run, and the busiest gives
  // the rate of V8's own collections.
  const sum = (k) => k.main + k.driver + k.other;
  const windows = result.windowsNs.map((ns, w) => ({ ns, ...span(w + 1, w + 2) }));
  const quietest = windows.reduce((q, w) => (sum(w.insn) / w.ns < sum(q.insn) / q.ns ? w : q));
  return {
    ...result,
    insn: quietest.insn,
    sys: quietest.sys,
    waits: quietest.waits,
    writes: quietest.writes,
    wallNs: quietest.ns,
    emptyPolls: (result.emptyPolls * quietest.ns) / result.wallNs,
    busiestPerS: Math.max(...windows.map((w) => (sum(w.insn) * 1e9) / w.ns)),
    driverThreads,
  };
}

async function core(env) {
  const r = await runProgram(coreBench, ['100000', path.join(buildDir, 'qel_bench_log.txt')], { env });
  if (r.code !== 0) return { error: `core_bench exit ${r.code}: ${r.stderr.trim()}` };
  return JSON.parse(r.stdout.trim().split('\n').pop());
}

async function lockHold(mode) {
  const r = await runProgram(lockBench, ['2000', path.join(buildDir, 'qel_lock_bench_log.txt'), mode], { timeoutMs: 60000 });
  if (r.code !== 0) return { error: `lock_bench exit ${r.code} ${r.signal || ''}: ${r.stderr.trim()}` };
  return JSON.parse(r.stdout.trim().split('\n').pop());
}

async function repeat(label, runs, fn) {
  const results = [];
  for (let i = 0; i < runs; i++) {
    progress(`${label} ${i + 1}/${runs}`);
    results.push(await fn(i));
  }
  const failed = results.filter((x) => x.error);
  for (const f of failed) progress(`${label}: ${f.error}`);
  return results.filter((x) => !x.error);
}

// ------------------------------------------------------------ the figures

const groups = {
  async core() {
    return { core: await repeat('receive cycle and log line (C++)', RUNS, () => core()) };
  },
  async lock() {
    return {
      lock: await repeat('bus lock hold, debug flood, standard output stalled (C++)', RUNS, () => lockHold('stalled')),
      lockRead: await repeat('bus lock hold, debug flood, standard output read (C++)', RUNS, () => lockHold('read')),
    };
  },
  async paced() {
    // The bus sets the pace: reads at 400 kHz back to back, with frames
    // always waiting, can carry ~2,614 frames/s on the simulated bridge. To
    // keep up with 1.15 x the CAN maximum, the loop may add no more than a
    // few microseconds to each read.
    // Each run takes the driver and then, right after, Node's floor (the
    // bench's own add-on, with a status object and with none), so that a
    // ratio compares figures taken under the same load.
    const runs = await repeat('delivery at the pace of a 400 kHz bus, beside the floor', RUNS, async () => {
      const driver = await scenario('delivery', { rounds: 500, hz: LIMITS.i2cHz, warmup: 1000 });
      if (driver.error) return driver;
      const floor = await scenario('floor', { status: true, hz: LIMITS.i2cHz });
      const bare = await scenario('floor', { status: false, hz: LIMITS.i2cHz });
      const pair = await scenario('pair', { hz: LIMITS.i2cHz });
      return { ...driver, floor: floor.error ? null : floor, bare: bare.error ? null : bare, pair: pair.error ? null : pair };
    });
    return { paced: runs };
  },
  async flood() {
    return { flood: await repeat('delivery fed as fast as possible', RUNS, () => scenario('delivery', { rounds: 100000, hz: 0, warmup: 5000 })) };
  },
  async latency() {
    return { latency: await repeat('latency at 400 kHz', RUNS, () => scenario('latency', { samples: 300 })) };
  },
  // The same transfers through the i2c-dev backend, whose system calls the
  // emulated kernel interface answers.
  async kernel() {
    const env = { QEL_SIM_BUS: 'i2c-dev' };
    return {
      kernelCore: await repeat('receive cycle on the kernel path (C++)', RUNS, () => core(env)),
      kernelFlood: await repeat('delivery on the kernel path, fed as fast as possible', RUNS, () => scenario('delivery', { rounds: 100000, hz: 0, warmup: 5000 }, { env })),
      kernelLatency: await repeat('latency on the kernel path at 400 kHz', RUNS, () => scenario('latency', { samples: 300 }, { env })),
    };
  },
  async async() {
    return {
      asyncCommand: await repeat('Bus.send beside sendCommand, event-loop delay, Bus.read', RUNS, () => scenario('asyncCommand', {})),
      sendCost: await repeat('main-thread CPU of Bus.send at 400 kHz, in parts', RUNS, () => scenario('sendCost', { hz: LIMITS.i2cHz, commands: 5000 })),
      sendCostInstant: await repeat('main-thread CPU of Bus.send on the instant bus, in parts', RUNS, () => scenario('sendCost', { hz: 0, commands: 10000 })),
    };
  },
  async command() {
    return { command: await repeat('sendCommand at 400 kHz', RUNS, () => scenario('command', { calls: 300 })) };
  },
  async capture() {
    // 100,000 frames at once: back to back at 400 kHz (about 38 s, so one
    // run), and at the simulated bridge's instant pace, bare and written
    // as a candump log.
    return {
      capture: await repeat('capture of 100,000 frames, instant transfers', RUNS, () => scenario('capture', { frames: 100000, hz: 0 })),
      captureRecord: await repeat('capture of 100,000 frames written as a candump log', RUNS, () => scenario('capture', { frames: 100000, hz: 0, record: true })),
      captureBus: await repeat('capture of 100,000 frames at 400 kHz', 1, () => scenario('capture', { frames: 100000, hz: LIMITS.i2cHz }, { timeoutMs: 180000 })),
    };
  },
  async replay() {
    const runs = Math.max(1, Math.min(RUNS, 2));
    // The large log at 2,000 frames/s would take 17 minutes: it keeps a
    // dense pace instead, 50,000 frames/s over 40 s, and polls without a
    // pause: the pause set from such a log, a few microseconds, sleeps as
    // long as the kernel's timer slack (tens of microseconds) and held the
    // reads near 11,000 a second on a 2 vCPU virtual machine.
    return {
      replay: await repeat('qel-monitor --replay of a 10 s log at 2,000 frames/s', runs, () => scenario('replay', { rate: 2000, seconds: 10 })),
      replayLarge: await repeat('qel-monitor --replay of a 2,000,000-frame log in a 64 MB heap', 1, () =>
        scenario('replay', { rate: LARGE_REPLAY.rate, frames: LARGE_REPLAY.frames, nodeArgs: ['--max-old-space-size=64'], args: ['--can-delay', '0'] }, { timeoutMs: 300000 })),
    };
  },
  async idle() {
    const runs = Math.max(1, Math.min(RUNS, 3));
    const idle = await repeat('idle CPU', runs, async () => {
      // An idle Node without the driver alongside, as the baseline.
      const [driver, baseline] = await Promise.all([
        scenario('idle', { settleMs: 1000, measureMs: 3000 }),
        scenario('idle', { driver: false, settleMs: 1000, measureMs: 3000 }),
      ]);
      return driver.error ? driver : { ...driver, baselineShare: baseline.error ? NaN : baseline.share };
    });
    const idleBus = await repeat('idle CPU with 400 kHz transfers', runs, () => scenario('idle', { hz: LIMITS.i2cHz, settleMs: 1000, measureMs: 3000 }));
    return { idle, idleBus };
  },
  // Guest instructions under the emulator (qemu-arm or qemu-aarch64): idle
  // and with frames read, open() with its default delays; then a saturated
  // bus, one second of it (2,250 frames) polled with the short pause that
  // such a bus needs. What these cost a Raspberry Pi is the table's
  // arithmetic.
  async instructions() {
    if (!process.env.QEL_BENCH_INSN_PLUGIN || !emulator) {
      progress('instructions: counted under the emulator only (tools/qel-bench --platform armhf|arm64 --only instructions)');
      return {};
    }
    const runs = Math.max(1, Math.min(RUNS, 3));
    const can = LIMITS.canFramesPerS;
    const cases = {
      insnIdle: ['idle', `instructions, idle for 8 x 5 s (${emulator})`, {}],
      insnFrames: ['changed', 'instructions, 1,000 frames each changing a slot, after 100', { frames: 1000 }],
      insnUnchanged: ['repeated', 'instructions, 1,000 frames repeating a cyclic slot\'s data', { frames: 1000, changeEvery: 0 }],
      insnSaturated: ['saturated', `instructions, ${can} frames, one in ten changing, canBusDelay ${SATURATED_POLL_US} us`,
        { frames: can, changeEvery: 10, canBusDelay: SATURATED_POLL_US }],
      insnSaturatedAll: ['saturatedAll', `instructions, ${can} frames, each changing, canBusDelay ${SATURATED_POLL_US} us`,
        { frames: can, changeEvery: 1, canBusDelay: SATURATED_POLL_US }],
    };
    const res = { insnEmulator: emulator };
    for (const [key, [name, label, options]] of Object.entries(cases)) {
      if (!INSN_CASES || INSN_CASES.includes(name)) res[key] = await repeat(label, runs, () => counted(options));
    }
    // The Pi Zero's build (ARMv6 code, on the same ARMv7 emulation and Node).
    const armv6 = process.env.QEL_BENCH_ARMV6_TREE;
    if (armv6 && !INSN_CASES) {
      res.insnIdle6 = await repeat('instructions, ARMv6 add-on, idle for 8 x 5 s', runs, () => counted({}, armv6));
      res.insnFrames6 = await repeat('instructions, ARMv6 add-on, 1,000 frames delivered after 100', runs, () => counted({ frames: 1000 }, armv6));
    }
    return res;
  },
  async memory() {
    const budget = memoryBudgetMs();
    const marks = [250000, 1000000, 2000000, 3000000, 4000000, 5000000, 6000000, 7000000, 8000000, 9000000, 10000000];
    return {
      memory: await repeat(`resident size over ten million deliveries (at most ${Math.round(budget / 1000)} s)`, 1, () =>
        scenario('memory', { marks, budgetMs: budget }, { nodeArgs: ['--expose-gc'], timeoutMs: budget + 60000 })),
    };
  },
};

// ------------------------------------------------------------ the table

const fmt = (v, digits = 1) => {
  if (v === undefined || Number.isNaN(v)) return '-';
  if (Math.abs(v) >= 100000) return Math.round(v).toLocaleString('en-US');
  if (Math.abs(v) >= 100) return v.toFixed(0);
  if (Math.abs(v) >= 10) return v.toFixed(Math.min(digits, 1));
  return v.toFixed(digits + (Math.abs(v) < 1 ? 1 : 0));
};
const pct = (v) => (Number.isNaN(v) ? '-' : `${fmt(v * 100, 2)}%`);
const times = (v) => (Number.isNaN(v) ? '-' : `${fmt(v, 2)} x`);

// A row from the values of several runs: median, spread, ratio to a limit.
function row(figure, values, unit, { limit, limitText = '', ratio = times, goal = '', met, decimals } = {}) {
  const v = values.filter((x) => x !== undefined && !Number.isNaN(x));
  if (v.length === 0) return { figure, value: 'no result', spread: '', runs: '0', limit: limitText, ratio: '', goal, verdict: '' };
  const m = median(v);
  const lo = Math.min(...v);
  const hi = Math.max(...v);
  const judged = met === undefined ? '' : met(m);
  const verdict = typeof judged === 'string' ? judged : judged ? 'met' : 'MISSED';
  const f = (x) => (decimals === undefined ? fmt(x) : x.toFixed(decimals));
  return {
    figure,
    value: `${f(m)} ${unit}`.trim(),
    spread: v.length > 1 ? `${f(lo)} - ${f(hi)}` : '',
    runs: String(v.length),
    limit: limitText,
    ratio: limit ? ratio(m / limit) : '',
    goal,
    verdict,
  };
}

function buildRows(res) {
  const rows = [];
  const section = (title) => rows.push({ section: title });
  const pick = (list, f) => (list || []).map(f);
  const read = `read ${LIMITS.readUs} us`;

  if (res.core) {
    section('1. Receive cycle, CPU time per cycle (C++ core, simulated bridge, instant transfers, no pause)');
    const readNs = LIMITS.readUs * 1000;
    for (const [key, label, goalShare] of [['empty', 'empty poll', null], ['unchanged', 'unchanged frame (cyclic slot, same data)', 0.01], ['changed', 'changed frame with its notification', 0.05]]) {
      const goal = goalShare ? `< ${pct(goalShare)} of a read (${fmt(goalShare * LIMITS.readUs, 2)} us)` : '';
      const opts = { limit: readNs, limitText: read, ratio: pct, decimals: 0 };
      rows.push(row(label, pick(res.core, (c) => c[key].cycle_ns), 'ns', { ...opts, goal, met: goalShare ? (m) => m < goalShare * readNs : undefined }));
      rows.push(row('  of which the simulated bridge (its read alone)', pick(res.core, (c) => c[key].read_ns), 'ns', opts));
      rows.push(row('  of which the driver', pick(res.core, (c) => c[key].cycle_ns - c[key].read_ns), 'ns', opts));
    }
  }
  if (res.paced) {
    const can = LIMITS.canFramesPerS;
    section(`2a. Delivery at the pace of the bus: 400 kHz reads back to back, frames always waiting, all 13 slots changing, can_bus_delay 0`);
    // A run that did not reach the rate says nothing about the goal.
    const atRate = (p) => p.feedRate >= 1.15 * can;
    const reached = res.paced.filter(atRate).length;
    const unless = (met) => (m) => (reached === res.paced.length ? met(m) : 'rate not reached');
    rows.push(row('frames taken per second', pick(res.paced, (p) => p.feedRate), '/s', {
      limit: can, limitText: `CAN max ${can}/s`, goal: `>= 1.15 x (${fmt(1.15 * can)}/s)`, met: () => reached === res.paced.length,
    }));
    if (reached < res.paced.length) rows.push({ figure: `  (${reached} of ${res.paced.length} runs reached the rate: the goals below are not judged)`, value: '', spread: '', runs: '', limit: '', ratio: '', goal: '', verdict: '' });
    rows.push(row('changes delivered / frames fed', pick(res.paced, (p) => 100 * p.deliveredShare), '%', { decimals: 1 }));
    rows.push(row('slots whose last delivery is their last frame', pick(res.paced, (p) => p.latestSlots), 'of 13', { decimals: 0, goal: 'no change lost: 13 of 13', met: unless((m) => m === 13) }));
    rows.push(row('main thread busy, share of a core', pick(res.paced, (p) => p.mainCpuShare * 100), '%', { limit: 100, limitText: 'one core', ratio: pct, goal: '< 2.5% of a core', met: unless((m) => m < 2.5) }));
    rows.push(row('main thread CPU per delivery', pick(res.paced, (p) => p.mainCpuPerDeliveryNs / 1000), 'us'));
    rows.push(row('main thread voluntary context switches per delivery', pick(res.paced, (p) => p.mainWaitsPerDelivery), '', { decimals: 2 }));
    const floorOf = (p, kind) => (p[kind] ? p[kind].mainCpuPerWakeupNs : NaN);
    rows.push(row('  Node\'s floor, same run: main thread CPU per wake-up, a function called with a status object', pick(res.paced, (p) => floorOf(p, 'floor') / 1000), 'us'));
    rows.push(row('  Node\'s floor, same run: the same, the function called with no argument', pick(res.paced, (p) => floorOf(p, 'bare') / 1000), 'us'));
    rows.push(row('  driver / floor (with a status object), taken one after the other', pick(res.paced, (p) => p.mainCpuPerDeliveryNs / floorOf(p, 'floor')), 'x', { decimals: 2 }));
    const pairOf = (p, key) => (p.pair ? p.pair[key] : NaN);
    rows.push(row('  in turns, four stretches of each in one process: the driver\'s CPU per delivery', pick(res.paced, (p) => pairOf(p, 'driverCpuPerDeliveryNs') / 1000), 'us'));
    rows.push(row('  in turns: the floor\'s per wake-up, with a status object', pick(res.paced, (p) => pairOf(p, 'floorCpuPerWakeupNs') / 1000), 'us'));
    rows.push(row('  in turns: driver / floor, the median of each run\'s ratio', pick(res.paced, (p) => pairOf(p, 'ratio')), 'x', {
      decimals: 2, goal: '<= 1.2 x', met: (m) => m <= 1.2,
    }));
    rows.push(row('  floor\'s wake-ups per second', pick(res.paced, (p) => (p.floor ? p.floor.wakeRate : NaN)), '/s'));
    rows.push(row('  floor\'s uv_async_send, wall time on the sending thread', pick(res.paced, (p) => (p.floor ? p.floor.sendNs / 1000 : NaN)), 'us', { limit: LIMITS.readUs, limitText: read, ratio: pct }));
    if (res.core) {
      rows.push(row('  floor: a bare libuv loop woken as often (C++)', pick(res.core, (c) => c.wakeup.share * 100), '%', { limit: 100, limitText: 'one core', ratio: pct, goal: '(reference)' }));
      rows.push(row('  floor: CPU per bare wake-up', pick(res.core, (c) => c.wakeup.per_wake_ns / 1000), 'us'));
      rows.push(row('  floor: one uv_async_send that wakes it, on the sender', pick(res.core, (c) => c.wakeup.send_ns / 1000), 'us', { limit: LIMITS.readUs, limitText: read, ratio: pct }));
      rows.push(row('    its CPU time on the sender', pick(res.core, (c) => c.wakeup.send_cpu_ns / 1000), 'us', { limit: LIMITS.readUs, limitText: read, ratio: pct }));
      rows.push(row('    the same with both threads on one core (no other core to wake): CPU on the sender', pick(res.core, (c) => (c.wakeup_one_core ? c.wakeup_one_core.send_cpu_ns / 1000 : NaN)), 'us', { limit: LIMITS.readUs, limitText: read, ratio: pct }));
    }
  }
  if (res.flood) {
    const can = LIMITS.canFramesPerS;
    section('2b. Delivery capacity, fed as fast as possible (13 x 100,000 distinct frames queued), can_bus_delay 0');
    rows.push(row('changes delivered per second', pick(res.flood, (p) => p.deliveryRate), '/s', {
      limit: can, limitText: `CAN max ${can}/s`, goal: `>= 100 x (${fmt(100 * can)}/s)`, met: (m) => m >= 100 * can,
    }));
    rows.push(row('frames taken per second by the receive loop', pick(res.flood, (p) => p.feedRate), '/s', { limit: can, limitText: `CAN max ${can}/s` }));
    rows.push(row('main thread CPU per delivery', pick(res.flood, (p) => p.mainCpuPerDeliveryNs / 1000), 'us'));
    rows.push(row('main thread busy, share of a core', pick(res.flood, (p) => p.mainCpuShare * 100), '%', { limit: 100, limitText: 'one core', ratio: pct }));
    rows.push(row('main thread voluntary context switches per delivery', pick(res.flood, (p) => p.mainWaitsPerDelivery), '', { decimals: 2 }));
    rows.push(row('slots whose last delivery is their last frame', pick(res.flood, (p) => p.latestSlots), 'of 13', { decimals: 0, goal: '13 of 13', met: (m) => m === 13 }));
  }
  if (res.latency) {
    const pinned = res.latency.every((p) => p.pinned);
    section(`3. Latency, frame available at the bridge -> start of the callback (400 kHz, can_bus_delay 0${pinned ? '; main and receive thread on different cores' : ''})`);
    rows.push(row('median', pick(res.latency, (p) => p.medianUs), 'us', {
      limit: LIMITS.readUs, limitText: read, goal: `<= read + 50 us (${LIMITS.readUs + 50} us)`, met: (m) => m <= LIMITS.readUs + 50,
    }));
    rows.push(row('p99', pick(res.latency, (p) => p.p99Us), 'us', {
      limit: LIMITS.readUs, limitText: read, goal: `<= 2 reads (${2 * LIMITS.readUs} us)`, met: (m) => m <= 2 * LIMITS.readUs,
    }));
    rows.push(row('bridge reads completed before the callback, mean', pick(res.latency, (p) => p.meanReads), '', { decimals: 2, goal: '1: only the read that took it' }));
    rows.push(row('  share of frames called back after that one read', pick(res.latency, (p) => 100 * p.oneReadShare), '%'));
  }
  if (res.command) {
    const bound = LIMITS.readUs + 2 * LIMITS.writeUs;
    const pinned = res.command.every((p) => p.pinned);
    section(`4. sendCommand duration, receive thread polling back to back at 400 kHz, heartbeat every 5 ms${pinned ? '; threads on different cores' : ''}`);
    rows.push(row('median', pick(res.command, (p) => p.medianUs), 'us', { limit: bound, limitText: `1 read + 2 writes ${bound} us` }));
    rows.push(row('p99', pick(res.command, (p) => p.p99Us), 'us', {
      limit: bound, limitText: `1 read + 2 writes ${bound} us`, goal: `<= 1.25 x (${fmt(1.25 * bound)} us)`, met: (m) => m <= 1.25 * bound,
    }));
    rows.push(row('  share of calls that waited for at most the read in progress', pick(res.command, (p) => 100 * p.oneReadShare), '%'));
    rows.push(row('  transfers that overlapped on the bus', pick(res.command, (p) => p.overlaps), '', { decimals: 0, goal: '0', met: (m) => m === 0 }));
  }
  if (res.asyncCommand) {
    const a = res.asyncCommand;
    const bound = LIMITS.readUs + 2 * LIMITS.writeUs;
    section('4b. A command every 10 ms while the bus runs at 400 kHz (reads back to back, heartbeat every 5 ms), segments taking turns in one process: none / Bus.send / sendCommand');
    rows.push(row('event-loop delay p99 (1 ms sampling), no commands', pick(a, (p) => 1000 * p.delayP99Ms.idle), 'us'));
    rows.push(row('  with Bus.send', pick(a, (p) => 1000 * p.delayP99Ms.async), 'us', { goal: '<= 1000 us', met: (m) => m <= 1000 }));
    rows.push(row('  with sendCommand', pick(a, (p) => 1000 * p.delayP99Ms.sync), 'us'));
    rows.push(row('event-loop delay max, no commands', pick(a, (p) => 1000 * p.delayMaxMs.idle), 'us'));
    rows.push(row('  with Bus.send', pick(a, (p) => 1000 * p.delayMaxMs.async), 'us'));
    rows.push(row('  with sendCommand', pick(a, (p) => 1000 * p.delayMaxMs.sync), 'us'));
    rows.push(row('call duration median, Bus.send', pick(a, (p) => p.callMedianUs.async), 'us'));
    rows.push(row('  p99', pick(a, (p) => p.callP99Us.async), 'us'));
    rows.push(row('call duration median, sendCommand', pick(a, (p) => p.callMedianUs.sync), 'us'));
    rows.push(row('  p99', pick(a, (p) => p.callP99Us.sync), 'us', { limit: bound, limitText: `1 read + 2 writes ${bound} us` }));
    rows.push(row('Bus.send, call to promise resolved (after the end of the write): median', pick(a, (p) => p.latencyMedianUs), 'us'));
    rows.push(row('  p99', pick(a, (p) => p.latencyP99Us), 'us', { limit: bound, limitText: `1 read + 2 writes ${bound} us` }));
    rows.push(row('Bus.send, call to the end of its write on the bus: median', pick(a, (p) => p.writtenMedianUs), 'us'));
    rows.push(row('  p99', pick(a, (p) => p.writtenP99Us), 'us', {
      limit: bound, limitText: `1 read + 2 writes ${bound} us`, goal: `<= 1.25 x (${Math.round(1.25 * bound)} us)`, met: (m) => m <= 1.25 * bound,
    }));
    rows.push(row('Bus.read median, receive thread reading back to back', pick(a, (p) => p.readMedianUs), 'us'));
    rows.push(row('  p99', pick(a, (p) => p.readP99Us), 'us', {
      limit: LIMITS.readUs, limitText: `1 read ${LIMITS.readUs} us`, ratio: pct, goal: '<= 10 us', met: (m) => m <= 10,
    }));
    rows.push(row('readStatus (bus lock) median, the same', pick(a, (p) => p.readStatusMedianUs), 'us'));
    rows.push(row('  p99', pick(a, (p) => p.readStatusP99Us), 'us', { limit: LIMITS.readUs, limitText: `1 read ${LIMITS.readUs} us`, ratio: pct }));
    rows.push(row('  transfers that overlapped on the bus', pick(a, (p) => p.overlaps), '', { decimals: 0, goal: '0', met: (m) => m === 0 }));
  }
  if (res.sendCost || res.sendCostInstant) {
    const c = res.sendCost;
    const i = res.sendCostInstant;
    section('4b. Main-thread CPU of a command, on the thread\'s own clock: Bus.send awaited before the next (each its own wake-up), console off; at 400 kHz (reads back to back, heartbeat every 5 ms, the idle main thread\'s CPU taken off) / on the instant bus');
    rows.push(row('Bus.send, awaited, at 400 kHz: call, wake-up, settling', pick(c, (p) => p.awaitedUs), 'us', { goal: '<= 20 us', met: (m) => m <= 20 }));
    rows.push(row('  of which Node\'s own wake-up at that pace (floor: a native thread\'s signal, one function called)', pick(c, (p) => p.floorWakeUs), 'us'));
    rows.push(row('  the driver\'s own, beyond the floor', pick(c, (p) => p.awaitedUs - p.floorWakeUs), 'us'));
    rows.push(row('  the call alone (63 at a time): checks, queueing, promise', pick(c, (p) => p.callUs), 'us'));
    rows.push(row('  the command\'s two console lines, to a function that does nothing', pick(c, (p) => p.consoleUs), 'us'));
    rows.push(row('sendCommand at 400 kHz (the simulated transfer spins on the calling thread)', pick(c, (p) => p.sendCommandUs), 'us'));
    rows.push(row('Bus.send, awaited, instant bus', pick(i, (p) => p.awaitedUs), 'us', { goal: '<= 20 us', met: (m) => m <= 20 }));
    rows.push(row('  send()\'s checks', pick(i, (p) => p.checksUs), 'us'));
    rows.push(row('  the add-on\'s queueing (its checks, the frame and its line, waking the transmit thread)', pick(i, (p) => p.queueUs), 'us'));
    rows.push(row('  the whole call (63 at a time)', pick(i, (p) => p.callUs), 'us'));
    rows.push(row('  the wake-up and the settling (the rest)', pick(i, (p) => p.wakeAndSettleUs), 'us'));
    rows.push(row('  a promise made, resolved and awaited in JavaScript alone', pick(i, (p) => p.promiseUs), 'us'));
    rows.push(row('  the command\'s two console lines, to a function that does nothing', pick(i, (p) => p.consoleUs), 'us'));
  }
  if (res.core) {
    section('5. Debug mode, cost per logged frame (C++ core)');
    rows.push(row('log line formatted and queued for its writer (CPU)', pick(res.core, (c) => c.debug.line_cpu_ns / 1000), 'us', {
      limit: LIMITS.readUs, limitText: read, ratio: pct, goal: '< 4 us', met: (m) => m < 4,
    }));
    rows.push(row('  the same, wall time (after the bus lock is released)', pick(res.core, (c) => c.debug.line_wall_ns / 1000), 'us', { limit: LIMITS.readUs, limitText: read, ratio: pct, goal: '< 4 us', met: (m) => m < 4 }));
    rows.push(row('  of which formatting', pick(res.core, (c) => c.debug.format_ns / 1000), 'us'));
    rows.push(row('unchanged-frame cycle, debug on minus off', pick(res.core, (c) => (c.debug.cycle_ns - c.unchanged.cycle_ns) / 1000), 'us', { limit: LIMITS.readUs, limitText: read, ratio: pct, goal: '< 4 us', met: (m) => m < 4 }));
  }
  if (res.lock) {
    section('5b. Bus lock in debug mode with standard output stalled: a pipe nobody reads; frames, failed reads, heartbeat every 5 ms, a command every ms (C++ core, instant transfers)');
    // Before, a line printed under the lock held it for as long as the
    // write blocked: without end.
    // On the clock a hold includes the time that the scheduler gave the
    // holder's core to others; the holder's own CPU time is the driver's.
    rows.push(row('longest hold of the bus lock, any thread, on the holder\'s CPU', pick(res.lock, (l) => l.longest_cpu_hold_ns / 1000), 'us', {
      limit: LIMITS.readUs, limitText: read, ratio: pct, goal: '<= one read', met: (m) => m <= LIMITS.readUs,
    }));
    rows.push(row('  the same on the clock', pick(res.lock, (l) => l.longest_hold_ns / 1000), 'us', {
      limit: LIMITS.readUs, limitText: read, goal: 'bounded, as with an output that is read',
    }));
    rows.push(row('  on the holder\'s CPU, standard output read (/dev/null)', pick(res.lockRead, (l) => l.longest_cpu_hold_ns / 1000), 'us', { limit: LIMITS.readUs, limitText: read, ratio: pct }));
    rows.push(row('  on the clock, standard output read (/dev/null)', pick(res.lockRead, (l) => l.longest_hold_ns / 1000), 'us', { limit: LIMITS.readUs, limitText: read }));
    rows.push(row('  heartbeat and command transfers in the 2 s window, stalled', pick(res.lock, (l) => l.transmits), '', { decimals: 0 }));
  }
  if (res.idle) {
    section('6. Idle cost, whole process, default settings (50 polls/s, heartbeat 2/s), no traffic');
    rows.push(row('CPU, share of a core (instant transfers)', pick(res.idle, (p) => p.share * 100), '%', { limit: 100, limitText: 'one core', ratio: pct, goal: '< 0.5% of a core', met: (m) => m < 0.5 }));
    rows.push(row('  an idle Node without the driver', pick(res.idle, (p) => p.baselineShare * 100), '%'));
    rows.push(row('  polls per second', pick(res.idle, (p) => p.pollsPerS), '/s', { limit: 50, limitText: '50/s' }));
    rows.push(row('CPU with transfers spinning at 400 kHz', pick(res.idleBus, (p) => p.share * 100), '%', { limit: 100, limitText: 'one core', ratio: pct }));
  }
  // `zero`: the Pi Zero runs 32-bit code only; an arm64 count is a Pi 3's.
  const insnRows = (idle, fed, title, { unchanged = [], saturated = [], saturatedAll = [], zero = true } = {}) => {
    section(title);
    // A frame whose event merged with the next one of its slot (the main
    // thread fell behind the emulation) leaves a run short and waiting out
    // its deadline: such a run says nothing per frame.
    const frames = (fed || []).filter((p) => p.deliveries === p.frames);
    const note = (figure, goal = '', verdict = '') => rows.push({ figure, value: '', spread: '', runs: '', limit: '', ratio: '', goal, verdict });
    if (frames.length < (fed || []).length) note(`  (${fed.length - frames.length} of ${fed.length} runs with frames left out: fewer deliveries than frames)`);
    const perS = (p, kind) => (p.insn[kind] * 1e9) / p.wallNs;
    const kinds = ['main', 'driver', 'other'];
    const total = (f) => kinds.reduce((sum, k) => sum + f(k), 0);
    // Each idle run is its quietest window already; the baseline is the
    // quietest run.
    const quiet = (idle || []).reduce((q, p) => (!q || total((k) => perS(p, k)) < total((k) => perS(q, k)) ? p : q), null);
    const idleRate = (kind) => (quiet ? perS(quiet, kind) : NaN);
    const idleSysRate = (kind) => (quiet && quiet.sys ? (quiet.sys[kind] * 1e9) / quiet.wallNs : NaN);
    rows.push(row('idle (the quietest 5 s of 40): instructions per second, whole process', pick(idle, (p) => total((k) => perS(p, k))), '/s'));
    rows.push(row('  main thread', pick(idle, (p) => perS(p, 'main')), '/s'));
    rows.push(row('  the driver\'s threads (started by open())', pick(idle, (p) => perS(p, 'driver')), '/s'));
    rows.push(row('  Node\'s other threads', pick(idle, (p) => perS(p, 'other')), '/s'));
    rows.push(row('  polls per second', pick(idle, (p) => p.emptyPolls / (p.wallNs / 1e9)), '/s'));
    const pollRate = (p) => p.emptyPolls / (p.wallNs / 1e9);
    const perPoll = (p) => perS(p, 'driver') / pollRate(p);
    rows.push(row('  the driver\'s threads per empty poll (heartbeat included)', pick(idle, perPoll), ''));
    rows.push(row('  the driver\'s threads\' system calls per empty poll (heartbeat included)', pick(idle, (p) => (p.sys ? (p.sys.driver * 1e9) / p.wallNs / pollRate(p) : NaN)), '', { decimals: 2 }));
    rows.push(row('  the quietest run, the baseline below', quiet ? [total((k) => perS(quiet, k))] : [], '/s'));
    rows.push(row('  the busiest 5 s window (V8 collecting garbage on its own)', pick(idle, (p) => p.busiestPerS), '/s'));
    // Beyond what the same stretch would have cost idle, per frame read.
    const perFrame = (p, kind) => (p.insn[kind] - (idleRate(kind) * p.wallNs) / 1e9) / p.frames;
    const sysPerFrame = (p, kind) => (p.sys ? (p.sys[kind] - (idleSysRate(kind) * p.wallNs) / 1e9) / p.frames : NaN);
    rows.push(row('per frame changing a slot, beyond idle: main thread and the driver\'s', pick(frames, (p) => perFrame(p, 'main') + perFrame(p, 'driver')), ''));
    rows.push(row('  main thread (the \'status\' event and its listener)', pick(frames, (p) => perFrame(p, 'main')), ''));
    rows.push(row('  the driver\'s threads', pick(frames, (p) => perFrame(p, 'driver')), ''));
    rows.push(row('  Node\'s other threads (V8\'s collections: in stretches, not per frame)', pick(frames, (p) => perFrame(p, 'other')), ''));
    rows.push(row('  system calls, main thread and the driver\'s', pick(frames, (p) => sysPerFrame(p, 'main') + sysPerFrame(p, 'driver')), '', { decimals: 2 }));
    rows.push(row('  frames delivered / fed', pick(frames, (p) => (100 * p.deliveries) / p.frames), '%', { decimals: 1 }));
    rows.push(row('  the driver\'s signals to the main thread (wake-ups) per status', pick(frames, (p) => (p.writes ? p.writes.driver / p.deliveries : NaN)), '', { decimals: 2 }));
    // A repeat is taken and filtered by the receive thread: nothing wakes
    // the main thread.
    const still = unchanged.filter((p) => p.deliveries === 0 && p.left === 0);
    if (still.length < unchanged.length) note(`  (${unchanged.length - still.length} of ${unchanged.length} runs of repeats left out: a status came, or frames were left)`);
    if (unchanged.length > 0) {
      rows.push(row('per frame repeating a cyclic slot\'s data, beyond idle: the driver\'s threads', pick(still, (p) => perFrame(p, 'driver')), ''));
      rows.push(row('  their system calls', pick(still, (p) => sysPerFrame(p, 'driver')), '', { decimals: 2 }));
      // Nothing wakes the main thread for a repeat: what it counts in the
      // stretch beyond idle is V8's, as the other threads' collections.
      rows.push(row('  the main thread\'s waits for events in the stretch (not woken per frame)', pick(still, (p) => (p.waits ? p.waits.main : NaN)), '', { decimals: 0 }));
      rows.push(row('  the main thread beyond idle, per frame (V8 collecting, as Node\'s other threads)', pick(still, (p) => perFrame(p, 'main')), ''));
      rows.push(row('  Node\'s other threads beyond idle, per frame', pick(still, (p) => perFrame(p, 'other')), ''));
    }
    const idleTotal = total(idleRate);
    // V8's own threads work in stretches of many seconds after start-up
    // (garbage collection), idle or not, at a rate that has little to do
    // with the frames: per frame counts the main thread and the driver's;
    // V8's busiest stretch, as the busiest idle run shows it, comes on top.
    const own = (list, kind) => median(pick(list, (p) => (kind ? perFrame(p, kind) : perFrame(p, 'main') + perFrame(p, 'driver'))));
    const changedOwn = own(frames);
    const unchangedOwn = still.length > 0 ? own(still, 'driver') : NaN;
    const busiest = Math.max(...pick(idle, (p) => p.busiestPerS));
    const pollCost = median(pick(idle, perPoll));
    const defaultPolls = median(pick(idle, pollRate));
    // One second of a saturated bus, polled with a short pause: the whole
    // of each poll, on the threads' own counts (nothing subtracted); the
    // stretch ends a quarter of a second or so after the last frame, and
    // its empty polls are in it too.
    const whole = (list, label) => {
      if (list.length === 0) return;
      rows.push(row(`${label}: empty polls in the stretch`, pick(list, (p) => p.emptyPolls), '', { decimals: 0 }));
      rows.push(row('  the driver\'s threads per poll (frames and empty polls)', pick(list, (p) => p.insn.driver / (p.frames + p.emptyPolls)), ''));
      // The same polls priced with the runs at the default pause.
      const predicted = (p) => (p.frames + p.emptyPolls) * pollCost + p.changes * own(frames, 'driver') + (p.frames - p.changes) * (unchangedOwn || 0);
      rows.push(row('  the driver\'s threads, counted / priced by the runs at the default pause', pick(list, (p) => p.insn.driver / predicted(p)), '', { decimals: 2 }));
      rows.push(row('  main thread per status delivered', pick(list, (p) => p.insn.main / p.deliveries), ''));
      rows.push(row('  statuses delivered / slot changes fed', pick(list, (p) => (100 * p.deliveries) / p.changes), '%', { decimals: 1 }));
      rows.push(row('  main thread\'s waits for events per status delivered (its loop\'s turns, V8\'s tasks\' included)', pick(list, (p) => (p.waits ? p.waits.main / p.deliveries : NaN)), '', { decimals: 2 }));
      // The driver's threads print nothing here: their writes are the
      // signals that wake the main thread (a signal sent while one is
      // pending is not written again).
      rows.push(row('  the driver\'s signals to the main thread (wake-ups) per status delivered', pick(list, (p) => (p.writes ? p.writes.driver / p.deliveries : NaN)), '', { decimals: 2 }));
      rows.push(row('  the driver\'s threads\' system calls per poll', pick(list, (p) => (p.sys ? p.sys.driver / (p.frames + p.emptyPolls) : NaN)), '', { decimals: 2 }));
    };
    const can = LIMITS.canFramesPerS;
    whole(saturated, `${can.toLocaleString('en-US')} frames, one in ten changing, canBusDelay ${SATURATED_POLL_US} us`);
    whole(saturatedAll, `${can.toLocaleString('en-US')} frames, each changing a slot, canBusDelay ${SATURATED_POLL_US} us`);
    // Above the default's polls a second the poll delay must come down: one
    // poll a frame, each also costing an empty poll's instructions.
    const load = (rate, changing) => idleTotal + rate * (changing * changedOwn + (1 - changing) * (changing < 1 ? unchangedOwn : 0)) +
      Math.max(0, rate - defaultPolls) * pollCost;
    const share = (insn, hz, ipc) => (100 * insn) / (hz * ipc);
    const shares = (insn) => `${zero ? `Pi Zero 1 GHz at 1-0.5 IPC: ${fmt(share(insn, 1e9, 1), 2)}%-${fmt(share(insn, 1e9, 0.5), 2)}%; ` : ''}` +
      `Pi 3 1.2 GHz at 1.5-1 IPC: ${fmt(share(insn, 1.2e9, 1.5), 2)}%-${fmt(share(insn, 1.2e9, 1), 2)}%`;
    // The goals: the whole driver at most 10% of a Pi Zero at a saturated
    // bus with a tenth changing, 0.5% idle; judged at both ends of the IPC.
    const judge = (insn, limit) => {
      const [best, worst] = [share(insn, 1e9, 1), share(insn, 1e9, 0.5)];
      return worst <= limit ? 'met' : best <= limit ? 'met at 1 IPC only' : 'MISSED';
    };
    for (const [rate, changing, goal] of [[0, 0, 0.5], [200, 0.1], [200, 1], [can, 0.1, 10], [can, 1]]) {
      const label = rate === 0 ? 'idle' : `${rate.toLocaleString('en-US')} frames/s, ${changing === 1 ? 'each changing a slot' : 'a tenth changing a slot'}`;
      const insn = load(rate, changing);
      note(`share of one core, ${label} (${fmt(insn / 1e6, 2)} M instructions/s)`, shares(insn), goal && zero ? `<= ${goal}% of a Pi Zero: ${judge(insn, goal)}` : '');
      note(`  while V8 collects garbage as in the busiest idle window (${fmt((insn + busiest - idleTotal) / 1e6, 2)} M/s)`, shares(insn + busiest - idleTotal));
    }
  };
  if (res.memory) {
    const m = res.memory[0];
    section('7. Memory, resident size over deliveries (fast feed, can_bus_delay 0; after a full GC)');
    if (!m) {
      rows.push({ figure: 'no result', value: '', spread: '', runs: '0', limit: '', ratio: '', goal: '', verdict: '' });
    } else {
      const at = (n) => m.points.find((p) => p.deliveries >= n);
      const first = at(1000000);
      const last = m.points[m.points.length - 1] || m.end;
      const mb = (b) => b / 1048576;
      for (const p of m.points) {
        if ([250000, 1000000, 10000000].some((n) => p.deliveries >= n && p.deliveries < n * 1.05) || p === last) {
          rows.push(row(`RSS after ${fmt(p.deliveries / 1e6, 2)} M deliveries (${fmt(p.seconds)} s)`, [mb(p.rss)], 'MiB'));
        }
      }
      if (first && last && last !== first) {
        const span = `1 M -> ${fmt(last.deliveries / 1e6, 2)} M`;
        const perM = (a, b) => (b - a) / ((last.deliveries - first.deliveries) / 1e6);
        // V8 sizes its heap in steps as it sees fit; what the driver could
        // leak is native memory (RSS beyond the reserved JS heap) or live
        // JS objects (heap in use).
        const native = (p) => p.rss - p.heapTotal;
        const flat = (a, b) => b - a < 1048576;  // a decrease is no growth
        rows.push(row(`RSS growth ${span}`, [mb(last.rss - first.rss)], 'MiB'));
        rows.push(row(`  of which V8 heap reserved (${fmt(mb(first.heapTotal), 1)} -> ${fmt(mb(last.heapTotal), 1)} MiB)`, [mb(last.heapTotal - first.heapTotal)], 'MiB'));
        rows.push(row(`native memory (RSS - V8 heap) growth ${span}`, [mb(native(last) - native(first))], 'MiB', {
          goal: 'no growth (< 1 MiB)', met: () => flat(native(first), native(last)),
        }));
        rows.push(row(`JS heap in use growth ${span}`, [mb(last.heapUsed - first.heapUsed)], 'MiB', {
          goal: 'no growth (< 1 MiB)', met: () => flat(first.heapUsed, last.heapUsed),
        }));
        if (last.deliveries < 10000000) {
          rows.push(row('  native growth extrapolated to 10 M (linear)', [mb(perM(native(first), native(last)) * 9)], 'MiB'));
        }
      }
    }
  }
  if (res.core || res.capture) {
    section('8. Capture of every frame read (capture(fn)), cost per frame');
    if (res.core) {
      rows.push(row('receive thread: unchanged-frame cycle, capture on minus off (C++)', pick(res.core, (c) => c.captured.cycle_ns - c.unchanged.cycle_ns), 'ns', {
        limit: LIMITS.readUs * 1000, limitText: read, ratio: pct, decimals: 0, goal: '< 1% of a read', met: (m) => m < 0.01 * LIMITS.readUs * 1000,
      }));
    }
    const captureRows = (list, label) => {
      rows.push(row(`${label}: frames held of 100,000, none dropped`, pick(list, (p) => (p.dropped === 0 && p.inOrder ? p.got : NaN)), '', { decimals: 0, goal: '100000', met: (m) => m === 100000 }));
      rows.push(row('  main thread CPU per frame', pick(list, (p) => p.mainCpuPerFrameNs), 'ns', { decimals: 0 }));
      rows.push(row('  batches (wake-ups of the main thread)', pick(list, (p) => p.batches), '', { decimals: 0 }));
    };
    if (res.capture) captureRows(res.capture, 'instant transfers, can_bus_delay 0');
    if (res.captureRecord) captureRows(res.captureRecord, '  the same, written as a candump log (qel-monitor --record)');
    if (res.captureBus) {
      captureRows(res.captureBus, '400 kHz, can_bus_delay 0');
      rows.push(row('  main thread busy, share of a core', pick(res.captureBus, (p) => p.mainCpuShare * 100), '%', { limit: 100, limitText: 'one core', ratio: pct }));
      rows.push(row('  frames taken per second', pick(res.captureBus, (p) => p.framesPerS), '/s', { limit: LIMITS.canFramesPerS, limitText: `CAN max ${LIMITS.canFramesPerS}/s` }));
    }
  }
  if (res.replay) {
    section('9. qel-monitor --replay of a generated 10 s candump log at 2,000 frames/s (default poll delay: set from the log)');
    rows.push(row('frames read by the driver / in the log', pick(res.replay, (p) => 100 * p.framesRead / p.frames), '%', { decimals: 1, goal: '100%', met: (m) => m === 100 }));
    rows.push(row('span of the reads / span of the log, minus 1', pick(res.replay, (p) => 100 * (p.readS / p.recordedS - 1)), '%', { decimals: 2, goal: 'within 5%', met: (m) => Math.abs(m) <= 5 }));
    rows.push(row('whole run less start-up / span of the log, minus 1', pick(res.replay, (p) => 100 * ((p.wallS - p.startupS) / p.recordedS - 1)), '%', { decimals: 2, goal: 'within 5%', met: (m) => Math.abs(m) <= 5 }));
    rows.push(row('  start-up (until the first line)', pick(res.replay, (p) => p.startupS * 1000), 'ms', { decimals: 0 }));
  }
  if (res.replayLarge) {
    const mib = (res.replayLarge.find((p) => p.logBytes) || { logBytes: NaN }).logBytes / 1048576;
    section(`9b. qel-monitor --replay of a generated log of ${LARGE_REPLAY.frames.toLocaleString('en-US')} frames (${fmt(mib)} MiB) at ${LARGE_REPLAY.rate.toLocaleString('en-US')} frames/s, ` +
      'in a 64 MB heap (--max-old-space-size=64), --can-delay 0');
    rows.push(row('frames read by the driver / in the log', pick(res.replayLarge, (p) => 100 * p.framesRead / p.frames), '%', { decimals: 1, goal: '100%', met: (m) => m === 100 }));
    rows.push(row('peak resident size (VmHWM)', pick(res.replayLarge, (p) => p.peakRss / 1048576), 'MiB'));
    if (res.replay) rows.push(row('  the same for the 10 s log of 9 (20,000 frames), as a reference', pick(res.replay, (p) => p.peakRss / 1048576), 'MiB'));
    rows.push(row('span of the reads / span of the log, minus 1', pick(res.replayLarge, (p) => 100 * (p.readS / p.recordedS - 1)), '%', { decimals: 2, goal: 'within 5%', met: (m) => Math.abs(m) <= 5 }));
    rows.push(row('  start-up (until the first line: the pass through the log)', pick(res.replayLarge, (p) => p.startupS * 1000), 'ms', { decimals: 0 }));
  }
  if (res.kernelCore || res.kernelFlood || res.kernelLatency) {
    section('10. The kernel\'s I2C path: the i2c-dev backend against the emulated kernel interface (QEL_SIM_BUS=i2c-dev)');
    const opts = { limit: LIMITS.readUs * 1000, limitText: read, ratio: pct, decimals: 0 };
    for (const [key, label] of [['empty', 'receive cycle, empty poll (C++)'], ['unchanged', 'receive cycle, unchanged frame (C++)'], ['changed', 'receive cycle, changed frame (C++)']]) {
      rows.push(row(label, pick(res.kernelCore, (c) => c[key].cycle_ns), 'ns', opts));
      rows.push(row('  of which backend and emulation (the read alone)', pick(res.kernelCore, (c) => c[key].read_ns), 'ns', opts));
    }
    const can = LIMITS.canFramesPerS;
    rows.push(row('capacity: changes delivered per second (as 2b)', pick(res.kernelFlood, (p) => p.deliveryRate), '/s', {
      limit: can, limitText: `CAN max ${can}/s`, goal: `>= 100 x (${fmt(100 * can)}/s)`, met: (m) => m >= 100 * can,
    }));
    rows.push(row('latency median at 400 kHz (as 3)', pick(res.kernelLatency, (p) => p.medianUs), 'us', {
      limit: LIMITS.readUs, limitText: read, goal: `<= read + 50 us (${LIMITS.readUs + 50} us)`, met: (m) => m <= LIMITS.readUs + 50,
    }));
    rows.push(row('latency p99 at 400 kHz', pick(res.kernelLatency, (p) => p.p99Us), 'us', {
      limit: LIMITS.readUs, limitText: read, goal: `<= 2 reads (${2 * LIMITS.readUs} us)`, met: (m) => m <= 2 * LIMITS.readUs,
    }));
  }
  if (res.core && res.core.every((c) => c.mirrored)) {
    section('11. Mirror of every frame read (mirror(iface)), on a datagram socket pair standing in for a vcan, a reader keeping up');
    rows.push(row('receive thread: unchanged-frame cycle, mirror on minus off (C++)', pick(res.core, (c) => c.mirrored.cycle_ns - c.unchanged.cycle_ns), 'ns', {
      limit: LIMITS.readUs * 1000, limitText: read, ratio: pct, decimals: 0, goal: '< 2% of a read', met: (m) => m < 0.02 * LIMITS.readUs * 1000,
    }));
    rows.push(row('  instant transfers: frames dropped', pick(res.core, (c) => c.mirrored.dropped), '', { decimals: 0 }));
    rows.push(row('at the link\'s pace (2,600 frames, one every 385 us): frames the reader got', pick(res.core, (c) => (c.mirrored.paced_dropped === 0 ? c.mirrored.paced_read : NaN)), '', {
      decimals: 0, goal: '2600, none dropped', met: (m) => m === 2600,
    }));
  }
  if (res.insnIdle) {
    const [emu, addon] = res.insnEmulator === 'qemu-aarch64' ? ['qemu-aarch64', 'arm64'] : ['qemu-arm', 'armhf'];
    insnRows(res.insnIdle, res.insnFrames, `12. Guest instructions under ${emu} (${addon} add-on, Debian's Node), open() with default delays unless said; what they would cost a Raspberry Pi`,
      { unchanged: res.insnUnchanged || [], saturated: res.insnSaturated || [], saturatedAll: res.insnSaturatedAll || [], zero: addon === 'armhf' });
  }
  if (res.insnIdle6) insnRows(res.insnIdle6, res.insnFrames6, '12b. The same with the ARMv6 add-on (the Pi Zero\'s build; Node itself armhf)');
  return rows;
}

function printTable(rows) {
  const cols = [['figure', 'Figure'], ['value', 'Median'], ['spread', 'Spread (min - max)'], ['runs', 'Runs'], ['limit', 'Limit'], ['ratio', 'Ratio'], ['goal', 'Goal'], ['verdict', '']];
  const widths = cols.map(([k, h]) => Math.max(h.length, ...rows.filter((r) => !r.section).map((r) => String(r[k]).length)));
  const line = (cells) => cells.map((c, i) => String(c).padEnd(widths[i])).join('  ').trimEnd();
  const out = [line(cols.map(([, h]) => h)), widths.map((w) => '-'.repeat(w)).join('  ')];
  for (const r of rows) {
    if (r.section) out.push('', r.section);
    else out.push(line(cols.map(([k]) => r[k])));
  }
  return out.join('\n');
}

// ------------------------------------------------------------ main

function printRun({ machine, load, date, runs, seconds }, res) {
  process.stdout.write(`\nqel benchmark, ${date}\nmachine: ${machine}\nload average: ${load}\n\n`);
  process.stdout.write(`${printTable(buildRows(res))}\n\n`);
  process.stdout.write(`Medians of ${runs} runs (idle: ${Math.min(runs, 3)}, capture at 400 kHz: 1, replay: ${Math.min(runs, 2)}, large replay: 1, memory: 1). Figures took ${seconds.toFixed(0)} s.\n`);
}

(async () => {
  if (TABLE_FROM) {
    // Several saved runs (a,b,...) make one table: the runs of a figure
    // that more than one holds are taken together.
    const [saved, ...more] = TABLE_FROM.split(',').map((file) => JSON.parse(fs.readFileSync(file, 'utf8')));
    for (const other of more) {
      for (const [key, value] of Object.entries(other.results)) {
        saved.results[key] = Array.isArray(value) && Array.isArray(saved.results[key]) ? [...saved.results[key], ...value] : value;
      }
      saved.date += `, ${other.date}`;
      saved.load += `; ${other.load}`;
      saved.seconds += other.seconds;
    }
    printRun(saved, saved.results);
    return;
  }
  const names = Object.keys(groups).filter((n) => !ONLY || ONLY.includes(n));
  const res = {};
  for (const name of names) Object.assign(res, await groups[name]());
  const seconds = (Date.now() - started) / 1000;
  const cpu = os.cpus();
  let virtual = false;
  try { virtual = / hypervisor( |$)/m.test(fs.readFileSync('/proc/cpuinfo', 'utf8')); } catch { /* not Linux */ }
  const machine = `${process.env.QEL_BENCH_MACHINE ? `${process.env.QEL_BENCH_MACHINE} on ` : ''}${cpu.length} x ${cpu[0] ? cpu[0].model.trim() : 'unknown CPU'}${virtual ? ' (virtual machine)' : ''}, ${os.type()} ${os.release()} ${os.arch()}, Node ${process.version}`;
  const load = `${loadAtStart} at the start, ${os.loadavg()[0].toFixed(2)} at the end (1-minute)`;
  const run = { machine, load, date: new Date().toISOString(), runs: RUNS, seconds };
  fs.mkdirSync(buildDir, { recursive: true });
  fs.writeFileSync(JSON_OUT, JSON.stringify({ ...run, results: res }, null, 1));
  printRun(run, res);
  process.stdout.write(`Raw results: ${path.relative(root, JSON_OUT)}\n`);
})();
