'use strict';
// One driver per process: a load after the module cache was cleared gets
// the same driver; a worker may run it, one thread at a time; never a crash
// or a second driver.
const test = require('node:test');
const assert = require('node:assert/strict');
const { runScenario } = require('../helpers/scenario');
const { msg } = require('../helpers/catalogue');

test('a second load after the module cache was cleared gives the same driver', async () => {
  const r = await runScenario(`
    const sim = require.resolve(process.cwd() + '/sim');
    const first = require(sim);
    let second;
    for (const key of Object.keys(require.cache)) delete require.cache[key];
    try { second = require(sim).driverStart === first.driverStart ? 'the same' : 'another'; } catch (e) { second = e.constructor.name + ' ' + e.code + ': ' + e.message; }
    const seen = [];
    first.registerCallback((s) => seen.push(s.msg_id));
    first.driverStart(0, 1000, undefined, undefined, undefined, undefined, undefined);
    first.bridge.receive(frame(0x4a1, [1]));
    await until(() => seen.length === 1);
    done({ second, seen });
  `);
  assert.equal(r.result.second, 'the same');
  assert.deepEqual(r.result.seen, [0x4a1]);
});

test('a worker runs the driver and ends; then the main thread runs it; a worker\'s start meanwhile is refused', async () => {
  const r = await runScenario(`
    const { Worker } = require('worker_threads');
    const inWorker = (body) => new Promise((resolve) => {
      const w = new Worker(\`
        const { parentPort } = require('worker_threads');
        const qel = require(\${JSON.stringify(process.cwd() + '/sim')});
        (async () => { \${body} })().then((v) => parentPort.postMessage(v), (e) => parentPort.postMessage(e.code + ': ' + e.message));\`, { eval: true });
      let answer;
      w.on('message', (m) => { answer = m; w.terminate(); });
      w.on('exit', () => resolve(answer));
    });
    // The worker's driver: started, fed, and the worker ended without a stop.
    const worker = await inWorker(\`
      const seen = [];
      qel.registerCallback((s) => seen.push(s.msg_id));
      qel.driverStart(0, 1000, 0, 300, undefined, undefined, false);
      qel.bridge.receive(qel.bridge.frame(0x2c0, [1]));
      while (seen.length === 0) await new Promise((r) => setTimeout(r, 5));
      return seen;\`);
    const sim = require(process.cwd() + '/sim');
    const seen = [];
    sim.registerCallback((s) => seen.push(s.msg_id));
    sim.driverStart(0, 1000, 0, 300, undefined, undefined, false);
    const refused = await inWorker('qel.registerCallback(() => {}); return "started";');
    sim.bridge.receive(frame(0x4a1, [2]));
    await until(() => seen.length === 1);
    sim.driverStop();
    done({ worker, refused, seen });
  `, { flavour: 'i2c-dev' });
  assert.deepEqual(r.result.worker, [0x2c0]);
  assert.equal(r.result.refused, `QEL_IN_OTHER_THREAD: ${msg('IN_OTHER_THREAD')}`);
  assert.deepEqual(r.result.seen, [0x4a1]);
});
