'use strict';
// driverStop, the undo of a failed start, and the end of a process that
// stopped its driver: the process's descriptors, threads and memory, the
// settings a later start finds, and the errors that say why a start failed.
const test = require('node:test');
const assert = require('node:assert/strict');
const { runScenario, spawnScenario, withLogLock } = require('../helpers/scenario');
const { msg } = require('../helpers/catalogue');

// In the child: what the process holds.
const COUNTS = `
const fs = require('fs');
const counts = () => ({
  fds: fs.readdirSync('/proc/self/fd').length,
  threads: Number(/Threads:\\s+(\\d+)/.exec(fs.readFileSync('/proc/self/status', 'utf8'))[1]),
  rss: process.memoryUsage().rss,
});
qel.registerCallback(() => {});
`;

test('1000 starts and stops with other settings each time: nothing grows, and a start after a stop finds the load-time settings', async () => {
  const r = await runScenario(`${COUNTS}
    let failedStop;
    try { qel.driverStop(); } catch (e) { failedStop = [e.code, e.message]; }
    let spurious = 0;
    let refused;
    try { qel[Symbol.for('corvalith.console')](42); } catch (e) { refused = [e.name, e.code, e.message]; }
    qel[Symbol.for('corvalith.console')]((text) => { spurious += text.split(msg('NO_STATUS_CHANGE', -1)).length - 1; });
    // A first cycle of each kind, so that what the runtime creates once
    // (the log's writer thread, the handles) is there before counting.
    qel.driverStart(0, 1000, 1000, 300, [0x4a1], [0x4a1], true);
    qel.driverStop();
    let before;
    for (let i = 0; i < 1000; i++) {
      // The runtime's own heap settles during the first few hundred.
      if (i === 300) before = counts();
      qel.driverStart(0, 1000 + i, i % 2 ? 1000 : 0, 300, [0x4a1, 0x2c0], i % 3 ? [0x4a1] : [], i % 5 === 0);
      bridge.receive(frame(0x4a1, [i & 0xff]));
      const t = Date.now();
      while (Date.now() - t < 1);  // the frame read and signalled before the stop
      qel.driverStop();
      qel.driverStop();
    }
    const after = counts();
    qel[Symbol.for('corvalith.console')]('stdout');
    bridge.reset();
    console.log('#fresh');
    qel.driverStart(undefined, undefined, -1, undefined, undefined, undefined, undefined);
    const cleared = qel.readStatus(0x4a1);
    qel.driverStop();
    done({ failedStop, refused, before, after, cleared: [cleared.counter, cleared.msg_id], spurious });
  `, { timeout: 120000, debugLog: true });
  const { before, after } = r.result;
  assert.deepEqual(r.result.failedStop, ['QEL_NOT_STARTED', msg('NOT_STARTED_STOP')]);
  assert.deepEqual(r.result.refused, ['TypeError', 'QEL_BAD_ARGUMENT', msg('CONSOLE_ARG1')]);
  assert.equal(after.fds, before.fds, 'no descriptor left open');
  assert.equal(after.threads, before.threads, 'every driver thread joined');
  // 700 starts: a leak of 24 KiB a start (a buffer, a stack) shows.
  assert.ok(after.rss - before.rss < 16 * 1024 * 1024, `resident memory ${before.rss} -> ${after.rss}`);
  const fresh = r.lines.slice(r.lines.indexOf('#fresh') + 1);
  assert.equal(fresh[0], msg('STARTING', 50000, 20000, -1, 2000), 'the defaults again');
  assert.equal(fresh[1], 'QEL Driver -- listening for IDs: 0x1a1 (cyclic=1) 0x2a1 (cyclic=0) 0x3a1 (cyclic=1) 0x4a1 (cyclic=0) 0x2a2 (cyclic=0) 0x2c0 (cyclic=0) 0x2c1 (cyclic=0) 0x2c4 (cyclic=0) 0x2c5 (cyclic=0) 0x2c8 (cyclic=0) 0x2c9 (cyclic=0) ');
  assert.deepEqual(r.result.cleared, [0, 0], 'the slots cleared');
  assert.equal(r.result.spurious, 0, 'a wake-up signalled before a stop is no spurious one');
});

// Each step of a start failing 100 times in turn: the step's error, the
// process as before the calls and the bus closed again; then a start that
// works once the fault is gone.
const failStep = (step) => `bridge[Symbol.for('corvalith.failStartStep')](${JSON.stringify(step)})`;
const FAILURES = [
  ['init', 'bridge.failInit(true)', 'bridge.failInit(false)', 'START_FAILED'],
  ['select', 'bridge.failSelect(1)', 'bridge.failSelect(0)', 'START_FAILED'],
  ['async', failStep('async'), failStep(''), 'UV_FAILED'],
  ['lock', failStep('lock'), failStep(''), 'MUTEX_FAILED'],
  ['threads', failStep('threads'), failStep(''), 'THREADS_FAILED'],
];
for (const [step, fail, heal, message] of FAILURES) {
  test(`a start that fails at "${step}" 100 times leaves the process as it was; then one starts`, async () => {
    const r = await runScenario(`${COUNTS}
      qel[Symbol.for('corvalith.console')](false);
      ${fail};
      const attempt = () => { try { qel.driverStart(0, 1000, 1000, 300, undefined, undefined, true); return 'started'; } catch (e) { return e.message; } };
      const first = attempt();
      const before = counts();
      for (let i = 0; i < 100; i++) attempt();
      const after = counts();
      const open = bridge.state().i2cOpen;
      ${heal};
      const retry = attempt();
      done({ first, before, after, open, retry });
    `, { timeout: 60000, debugLog: true });
    assert.equal(r.result.first, msg(message));
    assert.deepEqual(r.result.after.fds, r.result.before.fds, 'no descriptor left open');
    // A thread left per failed start would add 100; an emulator may still
    // be tearing down the last one it joined.
    assert.ok(r.result.after.threads - r.result.before.threads <= 1, `no thread left running: ${JSON.stringify(r.result)}`);
    assert.equal(r.result.open, false, 'the bus closed again');
    assert.equal(r.result.retry, 'started');
  });
}

test('a failed start says why on the error: reason, cause, errno and syscall', async () => {
  const r = await runScenario(`
    qel.registerCallback(() => {});
    try { qel.driverStart(0, 1000, 0, 300, undefined, undefined, false); } catch (e) {
      done({ code: e.code, reason: e.reason, cause: e.cause && e.cause.message, errno: e.errno, syscall: e.syscall, last: null });
    }
  `, { env: { QEL_SIM_BUS: 'i2c-dev', QEL_I2C_DEVICE: '/dev/i2c-9' } });
  const why = r.lines[r.lines.length - 1];
  assert.deepEqual(r.result, { code: 'ENOENT', reason: why, cause: why, errno: -2, syscall: 'open', last: null });
  assert.match(why, /^QEL Driver -- \/dev\/i2c-9/);
});

// A stop hands capture's function its last batch while the driver still
// counts as started; a stop or a start from inside it must not begin a
// second lifecycle in the middle of the first.
test('capture\'s last batch at a stop: the slots still readable, driverStop there returns, driverStart is refused', async () => {
  const r = await runScenario(`
    qel.registerCallback(() => {});
    let stopping = false;
    const inside = [];
    qel.capture((b) => {
      if (!stopping) return;
      inside.push(b.count, qel.readStatus(0x4a1).counter);
      qel.driverStop();
      try { qel.driverStart(0, 1000, 0, 300, undefined, undefined, false); inside.push('started'); } catch (e) { inside.push(e.code); }
    });
    qel.driverStart(0, 1000, 0, 300, undefined, undefined, false);
    bridge.receive(frame(0x4a1, [1]));
    const t = Date.now();
    while (bridge.pending() > 0 && Date.now() - t < 10000);  // read, not yet delivered
    stopping = true;
    qel.driverStop();
    let after;
    try { qel.readStatus(0x4a1); } catch (e) { after = e.code; }
    qel.driverStart(0, 1000, 0, 300, undefined, undefined, false);
    qel.driverStop();
    done({ inside, after });
  `);
  assert.deepEqual(r.result.inside, [1, 1, 'QEL_ALREADY_STARTED']);
  assert.equal(r.result.after, 'QEL_NOT_STARTED', 'stopped once the batch returned');
});

// The event loop ends once the driver is stopped, here from inside the
// registered function while a flood is being polled; nothing else ends the
// process (no process.exit, no timer).
test('stopped from the registered function during a flood, the process ends by itself', async () => {
  const r = await withLogLock(() => spawnScenario(`
    let calls = 0;
    qel.registerCallback(() => { if (++calls === 50) { qel.driverStop(); qel.driverStop(); } });
    qel.driverStart(0, 0, 1000, 300, undefined, undefined, true);
    bridge.receive(frame(0x4a1, [1]), 1e9);
    process.on('exit', () => require('fs').writeSync(2, JSON.stringify({ calls, reads: bridge.reads() }) + '\\n'));
  `, { timeout: 30000 }));
  assert.equal(r.code, 0, `ended by itself: ${r.signal} ${r.stderr}`);
  const seen = JSON.parse(r.stderr);
  assert.equal(seen.calls, 50, 'no delivery after the stop');
});

// Workers that use the driver in debug mode one after another, the main
// thread never loading it: the runtime unloads the add-on after each, so
// no thread of the driver's (the log's writer included) may outlive a
// stop or a worker's end. Most workers close their driver object; every
// fifth is ended while it floods. The process's threads, descriptors and
// memory after the 10th worker and after the 50th: a leak per worker shows.
test('50 workers in a row, each open({ debug: true }), closed or ended mid-flood: none hangs, nothing is left', async () => {
  const r = await runScenario(`
    const { Worker } = require('worker_threads');
    const fs = require('fs');
    const counts = () => ({
      threads: fs.readdirSync('/proc/self/task').length,
      fds: fs.readdirSync('/proc/self/fd').length,
      rss: process.memoryUsage().rss,
    });
    const seen = [];
    let after10;
    for (let i = 0; i < 50; i++) {
      const w = new Worker(\`
        const { parentPort } = require('worker_threads');
        const sim = require(\${JSON.stringify(process.cwd() + '/sim')});
        const bus = sim.open({ debug: true, console: false, canBusDelay: 1000, heartbeat: 1000 });
        let seen = 0;
        bus.on('status', () => { if (++seen === 5) \${i % 5 === 4 ? '' : 'bus.close(), '}parentPort.postMessage(seen); });
        sim.bridge.receive(sim.bridge.frame(0x4a1, [\${i}]), 1e6);\`, { eval: true });
      seen.push(await new Promise((resolve, reject) => { w.once('message', resolve); w.once('error', reject); }));
      await w.terminate();
      if (i === 9) after10 = counts();
    }
    done({ seen, after10, after50: counts() });
  `, { flavour: 'none', debugLog: true, timeout: 300000 });
  const { seen, after10, after50 } = r.result;
  assert.deepEqual(seen, Array(50).fill(5));
  const grew = JSON.stringify({ after10, after50 });
  // A thread or a descriptor left per worker would add 40; an emulator may
  // still be tearing down the last thread it joined.
  assert.ok(after50.threads - after10.threads <= 1, `no thread left by a worker: ${grew}`);
  assert.ok(after50.fds - after10.fds <= 2, `no descriptor left by a worker: ${grew}`);
  // About 3 MiB here; a worker's isolate is tens of MiB while it lives,
  // and a leak of 1 MiB a worker would add 40.
  assert.ok(after50.rss - after10.rss < 32 * 1024 * 1024, `resident memory: ${grew}`);
});
