'use strict';
// The module's surface before the driver starts, on both flavours.
const test = require('node:test');
const assert = require('node:assert/strict');
const { msg } = require('../helpers/catalogue');
const { root } = require('../helpers/scenario');

const DRIVER_FUNCTIONS = ['registerCallback', 'driverStart', 'sendCommand', 'writeParameter',
  'readStatus', 'simulate', 'clearMem', 'getVersion'];

const flavours = {
  real: require(root),
  sim: require(`${root}/sim`),
};

test('exports: the eight functions in order, and bridge on the sim flavour', () => {
  assert.deepEqual(Object.keys(flavours.real), DRIVER_FUNCTIONS);
  assert.deepEqual(Object.keys(flavours.sim), [...DRIVER_FUNCTIONS, 'bridge']);
  for (const name of DRIVER_FUNCTIONS) {
    assert.equal(typeof flavours.real[name], 'function');
    assert.equal(typeof flavours.sim[name], 'function');
  }
});

function throwsType(fn, message) {
  assert.throws(fn, (e) => e instanceof TypeError && e.message === message);
}

for (const [name, qel] of Object.entries(flavours)) {
  test(`${name}: getVersion returns 1.0.1 whatever its arguments`, () => {
    assert.equal(qel.getVersion(), '1.0.1');
    assert.equal(qel.getVersion(1, 'x', null), '1.0.1');
  });

  test(`${name}: registerCallback takes a function, keeps the old one on bad input`, () => {
    throwsType(() => qel.registerCallback(), msg('EXPECTED_FUNCTION'));
    throwsType(() => qel.registerCallback(42), msg('EXPECTED_FUNCTION'));
    throwsType(() => qel.registerCallback(null, () => {}), msg('EXPECTED_FUNCTION'));
    assert.equal(qel.registerCallback(() => {}), undefined);
    assert.equal(qel.registerCallback(() => {}, 'ignored', 3), undefined);
  });

  test(`${name}: every other function refuses before driverStart, whatever its arguments`, () => {
    throwsType(() => qel.sendCommand(1), msg('NOT_STARTED_COMMAND'));
    throwsType(() => qel.sendCommand(1, 2, 3, 4, 5, 6, 7), msg('NOT_STARTED_COMMAND'));
    throwsType(() => qel.writeParameter(3, Buffer.from([1, 2])), msg('NOT_STARTED_COMMAND'));
    throwsType(() => qel.writeParameter(), msg('NOT_STARTED_COMMAND'));
    throwsType(() => qel.readStatus(0x1a1), msg('NOT_STARTED_READ'));
    throwsType(() => qel.readStatus('x', 1), msg('NOT_STARTED_READ'));
    throwsType(() => qel.simulate(Buffer.alloc(15)), msg('NOT_STARTED_SIMULATE'));
    throwsType(() => qel.clearMem(true, undefined), msg('NOT_STARTED_SIMULATE'));
    throwsType(() => qel.clearMem(), msg('NOT_STARTED_SIMULATE'));
  });
}

test('driverStart without a registered function refuses first, even with a wrong count', async () => {
  const { runScenario } = require('../helpers/scenario');
  for (const flavour of ['sim', 'real']) {
    const r = await runScenario(`
      const out = [];
      for (const args of [[], [1, 2, 3, 4, 5, 6, 7], [undefined, undefined, undefined, undefined, undefined, undefined, undefined]]) {
        try { qel.driverStart(...args); out.push('no throw'); } catch (e) { out.push(e.constructor.name + ': ' + e.message); }
      }
      done(out);
    `, { flavour });
    assert.deepEqual(r.result, Array(3).fill(`TypeError: ${msg('NO_CALLBACK')}`));
    assert.deepEqual(r.lines, [], 'a refused start prints nothing');
  }
});
