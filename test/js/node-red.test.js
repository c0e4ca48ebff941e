'use strict';
// The Node-RED nodes in a Node-RED runtime, on the simulated bridge: status
// objects arrive as messages, commands and parameter writes reach the bus,
// refused ones are reported with their code, a deployment closes the bus
// it replaces; and the example flow works as shipped.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('path');
const { root, TIME_FACTOR } = require('../helpers/scenario');
const { msg } = require('../helpers/catalogue');
const { transmitFrame } = require('../helpers/frames');

const helper = require('node-red-node-test-helper');
const { bridge } = require(`${root}/sim`);
const pkg = require(`${root}/package.json`);
// The nodes as Node-RED finds them: through the package's node-red section.
const nodes = require(path.join(root, pkg['node-red'].nodes.corvalith));

helper.init(require.resolve('node-red'));

const hex = (bytes) => Buffer.from(bytes).toString('hex');
const lastWrite = () => hex(bridge.writes().at(-1).bytes);
async function until(fn, what, ms = 20000) {
  const end = Date.now() + ms * TIME_FACTOR;
  for (let v = fn(); !v; v = fn()) {
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await new Promise((r) => setTimeout(r, 5));
  }
}
const errors = (node) => {
  const seen = [];
  node.on('call:error', (call) => seen.push(call.args[0]));
  return seen;
};

const BUS = { id: 'bus', type: 'corvalith bus', flavour: 'sim', i2cDelay: '0', canBusDelay: '1000', heartbeat: '0', console: 'off' };
const flow = (bus, suffix = '') => [
  { id: `in${suffix}`, type: 'corvalith', bus: bus.id, wires: [[`seen${suffix}`]] },
  { id: `seen${suffix}`, type: 'helper' },
  { id: `out${suffix}`, type: 'corvalith out', bus: bus.id },
  bus,
];

test('Node-RED: statuses as messages, commands and parameter writes to the bus, refusals with their code, a deployment closes the bus', { timeout: 120000 * TIME_FACTOR }, async (t) => {
  bridge.reset();
  await helper.startServer();
  t.after(() => helper.stopServer());
  await helper.load(nodes, flow(BUS));
  // Also when an assertion failed: a bus left open keeps the process alive.
  t.after(() => helper.unload());
  const messages = [];
  helper.getNode('seen').on('input', (m) => messages.push(m));
  const out = helper.getNode('out');
  const refused = errors(out);

  bridge.receive(bridge.frame(0x4a1, [1]));
  bridge.receive(bridge.frame(0x2c0, [1]));
  await until(() => messages.length === 2, 'two status messages');
  assert.deepEqual(messages.map((m) => [m.topic, m.payload.msg_id, hex(m.payload.msg_data)]),
    [['0x4a1', 0x4a1, '0100000000000000'], ['0x2c0', 0x2c0, '0100000000000000']]);

  // The input node's status follows the bridge.
  const shown = [];
  helper.getNode('in').on('call:status', (call) => shown.push(call.args[0].text));
  bridge.failReads(5, 1);
  await until(() => shown.length === 2, 'the bridge to fail and answer again');
  assert.deepEqual(shown, ['bridge not answering', 'open (sim)']);

  out.receive({ payload: { readCfg: 'one', parameter: 42, copLight: true, copLightColor: true } });
  await until(() => bridge.writes().length > 0 && lastWrite() === '30000004e0000008001b2a0000000000cf', 'the command frame');
  out.receive({ topic: 'writeParameter', payload: { number: 3, value: [1, 2] } });
  await until(() => lastWrite() === '3000000560000008030102000000000073', 'the parameter frame');

  const written = bridge.writes().length;
  out.receive({ payload: { tft: 256 } });
  out.receive({ topic: 'writeParameter', payload: { number: 3, bytes: [1] } });
  out.receive({ topic: 'writeParameter', payload: { number: 1, value: [1, 2, 3, 4, 5, 6, 7, 8] } });
  await until(() => refused.length === 3, 'three errors');
  bridge.failWrites(1, 4);
  out.receive({ payload: { tft: 5 } });
  await until(() => refused.length === 4, 'the failed write\'s error');
  assert.deepEqual(refused, [
    'QEL Driver -- tft must be an integer from 0 to 255, not 256 (QEL_BAD_COMMAND)',
    'QEL Driver -- Unknown parameter write field \'bytes\'; the fields are number, value (QEL_BAD_COMMAND)',
    'QEL Driver -- The parameter value must be at most 7 bytes: an array of integers from 0 to 255, or a Uint8Array, not [ 1, 2, 3, 4, 5, 6, 7, 8 ] (QEL_BAD_COMMAND)',
    `${msg('SEND_FAILED')} (QEL_SEND_FAILED)`,
  ]);
  assert.equal(bridge.writes().length, written + 1, 'only the write that failed reached the bridge');

  // A full deployment: the old bus is closed before the new one opens in
  // its place, on other settings (a text that is no number is refused by name).
  const old = helper.getNode('bus').bus;
  const deployed = helper.setFlows(flow({ ...BUS, enabledIds: '0x2c0, 0x4a1' }, '2'), 'full').catch((e) => e);
  await until(() => helper.getNode('in2'), 'the new flow');
  await deployed;
  assert.equal(old.closed, true);
  const again = [];
  helper.getNode('seen2').on('input', (m) => again.push(m));
  bridge.receive(bridge.frame(0x1a1, [5]));
  bridge.receive(bridge.frame(0x2c0, [2]));
  await until(() => again.length === 1, 'a status after the deployment');
  assert.deepEqual([again[0].topic, messages.length], ['0x2c0', 2]);

  const bad = { ...BUS, id: 'bad', canBusDelay: 'fast' };
  const live = helper.getNode('bus').bus;
  const failed = helper.setFlows(flow(bad, '3'), 'full').catch((e) => e);
  await until(() => helper.getNode('out3'), 'the flow with a bad option');
  await failed;
  assert.equal(live.closed, true);
  const out3 = helper.getNode('out3');
  const noBus = errors(out3);
  out3.receive({ payload: { copLight: true } });
  await until(() => noBus.length === 1, 'the error of a node without a bus');
  assert.equal(noBus[0], 'QEL Driver -- Option canBusDelay must be an integer from 0 to 2147483647 µs, not \'fast\' (QEL_BAD_OPTION)');

  // Stopping the flows closes the bus: the process may open it again.
  await helper.setFlows(flow(BUS, '4'), 'full').catch((e) => e);
  await until(() => helper.getNode('in4'), 'the last flow');
  const last = helper.getNode('bus').bus;
  await helper.unload();
  assert.equal(last.closed, true);
  const reopened = require(`${root}/sim`).open({ canBusDelay: 1000, heartbeat: 0, console: false });
  await reopened.close();
});

test('Node-RED: the example flow turns the COP light on when the button is pressed, and its buttons send what they say', { timeout: 60000 * TIME_FACTOR }, async (t) => {
  bridge.reset();
  await helper.startServer();
  t.after(() => helper.stopServer());
  const core = (file) => require(path.join(path.dirname(require.resolve('@node-red/nodes/package.json')), 'core', file));
  const example = require(`${root}/examples/node-red-flow.json`);
  await helper.load([nodes, core('function/10-switch.js'), core('function/10-function.js'), core('common/20-inject.js'), core('common/21-debug.js')], example);
  t.after(() => helper.unload());
  // The driver's lines in Node-RED's log, at their level, from the configuration node.
  const logged = () => helper.log().args.map(([e]) => e).filter((e) => e.type === 'corvalith bus').map((e) => [e.level, e.msg]);
  await until(() => logged().length >= 3, 'the driver\'s start-up lines');
  assert.deepEqual(logged().find(([, line]) => line.includes('Slave address')), [helper.log().INFO, msg('SLAVE_ADDRESS', 0x25)]);
  // Its bus is set up and sends heartbeats too: the frames to the QEL module are those of 0x4e0 and 0x560.
  const toModule = () => bridge.writes().map((w) => hex(w.bytes)).filter((f) => /^30000004e0|^3000000560/.test(f));
  bridge.receive(bridge.frame(0x2c0, [1]));
  await until(() => toModule().length === 1, 'the COP light command');
  for (const inject of example.filter((n) => n.type === 'inject')) {
    const before = toModule().length;
    helper.getNode(inject.id).receive({});
    await until(() => toModule().length > before, `what ${inject.name} sends`);
  }
  assert.deepEqual(toModule(), [[0, 0x03, 0], [3, 0, 0]].map((data) => transmitFrame(0x04, 0xe0, data).toString('hex'))
    .concat('3000000560000008030102000000000073'));
});
