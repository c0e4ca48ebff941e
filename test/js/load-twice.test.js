'use strict';
// The add-on runs on the main thread, once per process: a load after the
// module cache was cleared gets the same driver, a worker's load a clear
// error, never a crash or a second driver.
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

test('loading in a worker thread is refused, before or after the main thread loaded it', async () => {
  const r = await runScenario(`
    const { Worker } = require('worker_threads');
    const inWorker = () => new Promise((resolve) => {
      const w = new Worker(\`
        const { parentPort } = require('worker_threads');
        try { require(\${JSON.stringify(process.cwd() + '/sim')}); parentPort.postMessage('loaded'); }
        catch (e) { parentPort.postMessage(e.constructor.name + ' ' + e.code + ': ' + e.message); }\`, { eval: true });
      let answer;
      w.on('message', (m) => { answer = m; });
      w.on('exit', () => resolve(answer));
    });
    // This process loaded the kernel flavour; the simulated one is first
    // opened by a worker.
    const before = await inWorker();
    const sim = require(process.cwd() + '/sim');
    const seen = [];
    sim.registerCallback((s) => seen.push(s.msg_id));
    sim.driverStart(0, 1000, undefined, undefined, undefined, undefined, undefined);
    const after = await inWorker();
    sim.bridge.receive(frame(0x4a1, [2]));
    await until(() => seen.length === 1);
    done({ before, after, seen });
  `, { flavour: 'i2c-dev' });
  assert.equal(r.result.before, `Error QEL_MAIN_THREAD_ONLY: ${msg('MAIN_THREAD_ONLY')}`);
  assert.equal(r.result.after, r.result.before);
  assert.deepEqual(r.result.seen, [0x4a1]);
});
