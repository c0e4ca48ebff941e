'use strict';
// sendCommand and writeParameter on the simulated bridge: the 17-byte
// frames they write, the console lines they print, their argument checks,
// failing bus writes, and a long run of calls against a busy bus.
const test = require('node:test');
const assert = require('node:assert/strict');
const { msg } = require('../helpers/catalogue');
const { transmitFrame } = require('../helpers/frames');
const { runScenario } = require('../helpers/scenario');

// ------------------------------------------------ expected frames and lines

const hex = (text) => text.replace(/\s+/g, '').toLowerCase();

const transmitHex = (idHigh, idLow, data) => transmitFrame(idHigh, idLow, data).toString('hex');

// The command fields a call leaves behind: -1 where no argument was given,
// the 32-bit conversion of the number otherwise.
function commandFields(args) {
  const f = [-1, -1, -1, -1, -1];
  args.forEach((a, i) => { f[i] = a | 0; });
  return f;
}

function commandFrame(...args) {
  const [tft, readCfg, cop, color, parm] = commandFields(args);
  let flags = 0;
  let parmByte = 0;
  if (readCfg === 0) flags = 0x04;
  else if (readCfg === 1) { flags = 0x08; parmByte = parm & 0xff; }
  if (cop === 0) flags |= 0x02;
  else if (cop === 1) flags |= 0x03;
  if (color === 1) flags |= 0x10;
  return transmitHex(0x04, 0xe0, [tft >= 0 ? tft & 0xff : 0, flags, parmByte]);
}

// The setting lines of a command, without the success line.
function commandLines(...args) {
  const [tft, readCfg, cop, color] = commandFields(args);
  const lines = [];
  if (tft >= 0) lines.push(msg('CMD_TFT', tft));
  if (readCfg === 0) lines.push(msg('CMD_READ_CFG_ALL'));
  else if (readCfg === 1) lines.push(msg('CMD_READ_CFG'));
  if (cop === 0) lines.push(msg('CMD_COP_OFF', 0));
  else if (cop === 1) lines.push(msg('CMD_COP_ON', 1));
  if (color === 1) lines.push(msg('CMD_COP_COLOR', 1));
  return lines;
}

function parameterFrame(num, bytes = []) {
  const value = [0, 0, 0, 0, 0, 0, 0];
  bytes.forEach((v, i) => { value[i] = v; });
  return transmitHex(0x05, 0x60, [(num | 0) & 0xff, ...value]);
}

function dumpLine(name, frameHex) {
  const bytes = Buffer.from(frameHex, 'hex');
  const id = bytes[3] * 256 + bytes[4];
  return msg(name, id) + [...bytes].map((b) => msg('DUMP_BYTE', b)).join('');
}

// ------------------------------------------------- scenario side of a test

// Runs in the child: `start` brings the driver up; `call` runs one driver
// call between markers on stdout and records what it threw and which
// writes reached the bridge meanwhile.
const CHILD = `
const calls = [];
async function start({ hb = 0, debug = false, canBus = 1000 } = {}) {
  qel.registerCallback(() => {});
  qel.driverStart(0, canBus, hb, 300, undefined, undefined, debug);
  console.log('@@started');
}
function call(label, fn) {
  const before = bridge.writes().length;
  console.log('@@call ' + label);
  let error = null;
  let returned;
  try { returned = fn(); } catch (e) { error = e.constructor.name + ': ' + e.message; }
  const writes = bridge.writes().slice(before).map((w) => ({ hex: w.bytes.toString('hex'), code: w.code }));
  calls.push({ label, error, returned: returned === undefined ? 'undefined' : String(returned), writes });
}
function finish(extra = {}) {
  console.log('@@end');
  done({ calls, ...extra });
}
`;

// Lines the heartbeat thread prints at its own moment; they belong to no call.
const HEARTBEAT_LINES = [msg('HB_DISABLED')];

// Joins what the child recorded with the console lines printed between the
// call's marker and the next one.
function outcomes(r) {
  const byLabel = new Map();
  let current = null;
  for (const line of r.lines) {
    if (line.startsWith('@@')) {
      current = line.startsWith('@@call ') ? line.slice('@@call '.length) : null;
      if (current !== null) byLabel.set(current, []);
      continue;
    }
    if (current !== null && !HEARTBEAT_LINES.includes(line)) byLabel.get(current).push(line);
  }
  return r.result.calls.map((c) => ({ label: c.label, error: c.error, returned: c.returned, writes: c.writes, lines: byLabel.get(c.label) }));
}

// A call that must succeed: one frame written with code 0, its lines, then
// the success line.
function success(label, frameHex, lines) {
  return { label, error: null, returned: 'undefined', writes: [{ hex: frameHex, code: 0 }], lines };
}

// A call that must be refused: a TypeError, nothing written, nothing printed.
function refusal(label, name) {
  return { label, error: `TypeError: ${msg(name)}`, returned: 'undefined', writes: [], lines: [] };
}

const callsBody = (sources) => sources.map((src) => `call(${JSON.stringify(src)}, () => qel.${src});`).join('\n');

// ------------------------------------------------------------------- tests

test('before driverStart both functions refuse, write nothing and print nothing', async () => {
  const sources = [
    'sendCommand(1)',
    'sendCommand(1, 2, 3, 4, 5, 6, 7)',
    'sendCommand()',
    'writeParameter(3, Buffer.from([1, 2]))',
    'writeParameter(1, Buffer.alloc(8), 3)',
  ];
  const r = await runScenario(`${CHILD}
    qel.registerCallback(() => {});
    ${callsBody(sources)}
    finish({ total: bridge.writes().length });
  `);
  assert.deepEqual(outcomes(r), sources.map((s) => refusal(s, 'NOT_STARTED_COMMAND')));
  assert.equal(r.result.total, 0);
});

// The frames worked out by hand for the QEL module, byte for byte.
const WORKED = [
  ['sendCommand(5)', '30 00 00 04 E0 00 00 08 05 00 00 00 00 00 00 00 F1', [msg('CMD_TFT', 5)], 'CMD_DUMP', 'CMD_SENT'],
  ['sendCommand(44, 0, 0)', '30 00 00 04 E0 00 00 08 2C 06 00 00 00 00 00 00 E2',
    [msg('CMD_TFT', 44), msg('CMD_READ_CFG_ALL'), msg('CMD_COP_OFF', 0)], 'CMD_DUMP', 'CMD_SENT'],
  ['sendCommand(-1, 1, 1, 1, 42)', '30 00 00 04 E0 00 00 08 00 1B 2A 00 00 00 00 00 CF',
    [msg('CMD_READ_CFG'), msg('CMD_COP_ON', 1), msg('CMD_COP_COLOR', 1)], 'CMD_DUMP', 'CMD_SENT'],
  ['writeParameter(3, Buffer.from([1, 2]))', '30 00 00 05 60 00 00 08 03 01 02 00 00 00 00 00 73',
    [msg('PARAM_NUM', 3)], 'PARAM_DUMP', 'PARAM_WRITTEN'],
  ['writeParameter(255, Buffer.alloc(7, 0xff))', '30 00 00 05 60 00 00 08 FF FF FF FF FF FF FF FF 9B',
    [msg('PARAM_NUM', 255)], 'PARAM_DUMP', 'PARAM_WRITTEN'],
  // Without a Buffer the seven value bytes stay zero.
  ['writeParameter(3)', '30 00 00 05 60 00 00 08 03 00 00 00 00 00 00 00 70',
    [msg('PARAM_NUM', 3)], 'PARAM_DUMP', 'PARAM_WRITTEN'],
  ['writeParameter(9, Buffer.alloc(0))', '30 00 00 05 60 00 00 08 09 00 00 00 00 00 00 00 76',
    [msg('PARAM_NUM', 9)], 'PARAM_DUMP', 'PARAM_WRITTEN'],
];

test('worked frames are written byte for byte, with their console lines', async () => {
  const r = await runScenario(`${CHILD}
    await start();
    ${callsBody(WORKED.map((w) => w[0]))}
    finish();
  `);
  const expected = WORKED.map(([src, frameText, lines, , okName]) => success(src, hex(frameText), [...lines, msg(okName)]));
  assert.deepEqual(outcomes(r), expected);
  // The builder used by the other tests agrees with the hand-worked frames.
  assert.equal(commandFrame(5), hex(WORKED[0][1]));
  assert.equal(commandFrame(44, 0, 0), hex(WORKED[1][1]));
  assert.equal(commandFrame(-1, 1, 1, 1, 42), hex(WORKED[2][1]));
  assert.equal(parameterFrame(3, [1, 2]), hex(WORKED[3][1]));
  // A few texts exactly as the QEL module's operators know them.
  const out = outcomes(r);
  assert.deepEqual(out[1].lines, [
    'QEL Driver -- setting command to the QEL module: TFT = 44',
    'QEL Driver -- setting command to the QEL module: Read CFG ALL',
    'QEL Driver -- setting command to the QEL module: COP Light OFF = 0x0',
    'QEL Driver -- Command sent successfully',
  ]);
  assert.deepEqual(out[4].lines, [
    'QEL Driver -- writing parameter to the QEL module: PARAM_NUM = 255',
    'QEL Driver -- Parameter written successfully',
  ]);
});

test('debug mode adds one dump line per frame, after the setting lines', async () => {
  const r = await runScenario(`${CHILD}
    await start({ debug: true });
    ${callsBody(WORKED.map((w) => w[0]))}
    finish();
  `, { debugLog: true });
  const expected = WORKED.map(([src, frameText, lines, dumpName, okName]) =>
    success(src, hex(frameText), [...lines, dumpLine(dumpName, hex(frameText)), msg(okName)]));
  assert.deepEqual(outcomes(r), expected);
  const out = outcomes(r);
  assert.deepEqual(out[0].lines, [
    'QEL Driver -- setting command to the QEL module: TFT = 5',
    'QEL Driver -- sending command with ID = 0x4e0, data = 30  0  0  4 e0  0  0  8  5  0  0  0  0  0  0  0 f1 ',
    'QEL Driver -- Command sent successfully',
  ]);
  assert.deepEqual(out[4].lines, [
    'QEL Driver -- writing parameter to the QEL module: PARAM_NUM = 255',
    'QEL Driver -- writing a parameter with MSG ID = 0x560, data = 30  0  0  5 60  0  0  8 ff ff ff ff ff ff ff ff 9b ',
    'QEL Driver -- Parameter written successfully',
  ]);
});

test('argument checks: in order, each with its message, nothing written or printed', async () => {
  const cases = [
    // the count comes before any type test
    ['sendCommand(1, 2, 3, 4, 5, 6)', 'AT_MOST_5'],
    ["sendCommand('x', 'y', 1, 1, 1, 1)", 'AT_MOST_5'],
    ['sendCommand()', 'INT_ARG1'],
    ["sendCommand('5')", 'INT_ARG1'],
    ['sendCommand(undefined)', 'INT_ARG1'],
    ['sendCommand(null)', 'INT_ARG1'],
    ['sendCommand(5n)', 'INT_ARG1'],
    ["sendCommand(undefined, 'x')", 'INT_ARG1'],
    // an explicit undefined is a given argument
    ['sendCommand(1, undefined)', 'INT_ARG2'],
    ['sendCommand(1, null)', 'INT_ARG2'],
    ["sendCommand(1, 'x', 'y')", 'INT_ARG2'],
    ['sendCommand(1, -1, undefined)', 'INT_ARG3'],
    ["sendCommand(1, -1, {}, 'x')", 'INT_ARG3'],
    ["sendCommand(1, -1, -1, 'x')", 'INT_ARG4'],
    ["sendCommand(1, -1, -1, 'x', 7)", 'INT_ARG4'],
    ["sendCommand(1, -1, -1, -1, 'x')", 'INT_ARG5'],
    ['sendCommand(1, -1, -1, -1, undefined)', 'INT_ARG5'],
    // the parameter number of a Read CFG is tested after the types
    ["sendCommand(0, 1, 'x')", 'INT_ARG3'],
    ['sendCommand(0, 1)', 'BAD_PARAM_NUM'],
    ['sendCommand(0, 1, -1, -1, 256)', 'BAD_PARAM_NUM'],
    ['sendCommand(0, 1, -1, -1, -5)', 'BAD_PARAM_NUM'],
    ['sendCommand(0, 1, -1, -1, -1)', 'BAD_PARAM_NUM'],
    ['sendCommand(0, 1, 1, 1, 2 ** 31)', 'BAD_PARAM_NUM'],
    // a TFT above one byte, after the types and before the Read CFG number
    ['sendCommand(256)', 'BAD_TFT'],
    ["sendCommand(300, 'x')", 'INT_ARG2'],
    ['sendCommand(300, 1)', 'BAD_TFT'],
    ['writeParameter(1, Buffer.from([1]), 3)', 'AT_MOST_2'],
    ["writeParameter('x', 'y', 'z')", 'AT_MOST_2'],
    ['writeParameter()', 'INT_ARG1'],
    ["writeParameter('3', Buffer.from([1, 2]))", 'INT_ARG1'],
    ['writeParameter(undefined, Buffer.from([1]))', 'INT_ARG1'],
    ["writeParameter('x', Buffer.alloc(8))", 'INT_ARG1'],
    ['writeParameter(1, [1, 2])', 'BUFFER_ARG2'],
    ['writeParameter(1, undefined)', 'BUFFER_ARG2'],
    ['writeParameter(1, null)', 'BUFFER_ARG2'],
    ["writeParameter(1, 'ab')", 'BUFFER_ARG2'],
    ['writeParameter(1, Buffer.alloc(8))', 'AT_MOST_7_BYTES'],
    ['writeParameter(1, Buffer.alloc(100, 1))', 'AT_MOST_7_BYTES'],
    // a parameter number outside one byte, after the Buffer
    ['writeParameter(263, Buffer.from([1]))', 'BAD_WRITE_PARAM_NUM'],
    ['writeParameter(-1)', 'BAD_WRITE_PARAM_NUM'],
    ['writeParameter(300, Buffer.alloc(8))', 'AT_MOST_7_BYTES'],
  ];
  const r = await runScenario(`${CHILD}
    await start();
    ${callsBody(cases.map((c) => c[0]))}
    finish();
  `);
  assert.deepEqual(outcomes(r), cases.map(([src, name]) => refusal(src, name)));
  assert.equal(msg('BAD_PARAM_NUM'), 'QEL Driver -- Invalid parameter number for Read CFG command, expected 0-255');
  assert.equal(msg('BAD_TFT'), 'QEL Driver -- Invalid TFT value for the command, expected 0-255 or -1 for none');
});

test('flag combinations, number conversion and values the tables do not name', async () => {
  // [source, expected frame, expected setting lines]
  const cases = [
    ['sendCommand(0, 1, -1, -1, 255)', commandFrame(0, 1, -1, -1, 255), [msg('CMD_TFT', 0), msg('CMD_READ_CFG')]],
    ['sendCommand(0, 0, -1, -1, 999)', commandFrame(0, 0), [msg('CMD_TFT', 0), msg('CMD_READ_CFG_ALL')]],
    ['sendCommand(-1)', transmitHex(0x04, 0xe0, []), []],
    ['sendCommand(0)', transmitHex(0x04, 0xe0, []), [msg('CMD_TFT', 0)]],
    ['sendCommand(2.9)', transmitHex(0x04, 0xe0, [2]), [msg('CMD_TFT', 2)]],
    ['sendCommand(-1.5)', transmitHex(0x04, 0xe0, []), []],
    ['sendCommand(2 ** 32 + 7)', transmitHex(0x04, 0xe0, [7]), [msg('CMD_TFT', 7)]],
    ['sendCommand(2 ** 31)', transmitHex(0x04, 0xe0, []), []],
    ['sendCommand(NaN)', transmitHex(0x04, 0xe0, []), [msg('CMD_TFT', 0)]],
    ['sendCommand(1, 2, 2, 0)', transmitHex(0x04, 0xe0, [1, 0x00]), [msg('CMD_TFT', 1)]],
    ['sendCommand(1, -7, 3, 2, 300)', transmitHex(0x04, 0xe0, [1, 0x00]), [msg('CMD_TFT', 1)]],
    ['sendCommand(-1, -1, 1)', transmitHex(0x04, 0xe0, [0, 0x03]), [msg('CMD_COP_ON', 1)]],
    ['sendCommand(-1, -1, 0)', transmitHex(0x04, 0xe0, [0, 0x02]), [msg('CMD_COP_OFF', 0)]],
    ['sendCommand(-1, -1, -1, 1)', transmitHex(0x04, 0xe0, [0, 0x10]), [msg('CMD_COP_COLOR', 1)]],
    ['sendCommand(1, -1, 0, 1)', transmitHex(0x04, 0xe0, [1, 0x12]), [msg('CMD_TFT', 1), msg('CMD_COP_OFF', 0), msg('CMD_COP_COLOR', 1)]],
    ['sendCommand(-1, 0, 0)', transmitHex(0x04, 0xe0, [0, 0x06]), [msg('CMD_READ_CFG_ALL'), msg('CMD_COP_OFF', 0)]],
    ['sendCommand(7, 1, 0, 1, 0)', transmitHex(0x04, 0xe0, [7, 0x1a, 0]), [msg('CMD_TFT', 7), msg('CMD_READ_CFG'), msg('CMD_COP_OFF', 0), msg('CMD_COP_COLOR', 1)]],
    ['sendCommand(255, 1, 1, 1, 2 ** 32 + 17)', transmitHex(0x04, 0xe0, [0xff, 0x1b, 17]), [msg('CMD_TFT', 255), msg('CMD_READ_CFG'), msg('CMD_COP_ON', 1), msg('CMD_COP_COLOR', 1)]],
    ['writeParameter(255, Buffer.from([1]))', parameterFrame(255, [1]), [msg('PARAM_NUM', 255)]],
    ['writeParameter(2 ** 32 + 0x34, Buffer.from([0xaa, 0xbb, 0xcc]))', parameterFrame(0x34, [0xaa, 0xbb, 0xcc]), [msg('PARAM_NUM', 0x34)]],
    ['writeParameter(2.9, Buffer.from([5, 6, 7, 8, 9, 10, 11]))', parameterFrame(2, [5, 6, 7, 8, 9, 10, 11]), [msg('PARAM_NUM', 2)]],
    ['writeParameter(0)', parameterFrame(0), [msg('PARAM_NUM', 0)]],
    // a Buffer that is a window on a larger one sends the window's bytes
    ['writeParameter(4, Buffer.from([0, 1, 2, 3, 4, 5, 6, 7, 8, 9]).subarray(3, 6))', parameterFrame(4, [3, 4, 5]), [msg('PARAM_NUM', 4)]],
  ];
  const r = await runScenario(`${CHILD}
    await start();
    ${callsBody(cases.map((c) => c[0]))}
    finish();
  `);
  const out = outcomes(r);
  assert.deepEqual(out, cases.map(([src, f, lines]) =>
    success(src, f, [...lines, msg(src.startsWith('send') ? 'CMD_SENT' : 'PARAM_WRITTEN')])));
  // Spot checks of single bytes against the tables, independent of the builder.
  const byte = (i, n) => Buffer.from(out[i].writes[0].hex, 'hex')[n];
  assert.equal(byte(0, 9), 0x08);
  assert.equal(byte(0, 10), 0xff);
  assert.equal(byte(1, 9), 0x04);
  assert.equal(byte(1, 10), 0x00);
  assert.equal(out[2].writes[0].hex, out[3].writes[0].hex, 'sendCommand(-1) and sendCommand(0) send the same bytes');
  assert.equal(byte(9, 9), 0x00);
  assert.equal(byte(18, 8), 0xff);
  assert.equal(byte(18, 9), 0x01);
});

test('fields never carry over from an earlier call, failed or not', async () => {
  const sources = [
    'sendCommand(9, 1, 1, 1, 77)',
    'sendCommand(0, 1)',
    'sendCommand(5)',
    'sendCommand(3, 1, 1, 1, 300)',
    'sendCommand(5)',
    "sendCommand(4, 0, 1, 1, 'x')",
    'sendCommand(5)',
    'writeParameter(4, Buffer.from([9, 9, 9, 9, 9, 9, 9]))',
    'writeParameter(6, Buffer.from([1]))',
    'writeParameter(4, Buffer.from([9, 9, 9, 9, 9, 9, 9]))',
    'writeParameter(1, Buffer.alloc(8, 7))',
    'writeParameter(6)',
    'writeParameter(8, Buffer.from([1, 2, 3, 4, 5, 6, 7]))',
    'writeParameter(2, Buffer.alloc(0))',
  ];
  const r = await runScenario(`${CHILD}
    await start();
    ${callsBody(sources)}
    finish();
  `);
  const cmd5 = success('sendCommand(5)', hex('30 00 00 04 E0 00 00 08 05 00 00 00 00 00 00 00 F1'), [msg('CMD_TFT', 5), msg('CMD_SENT')]);
  const param = (src, num, bytes) => success(src, parameterFrame(num, bytes), [msg('PARAM_NUM', num), msg('PARAM_WRITTEN')]);
  assert.deepEqual(outcomes(r), [
    success(sources[0], commandFrame(9, 1, 1, 1, 77), [...commandLines(9, 1, 1, 1), msg('CMD_SENT')]),
    refusal(sources[1], 'BAD_PARAM_NUM'),
    cmd5,
    refusal(sources[3], 'BAD_PARAM_NUM'),
    cmd5,
    refusal(sources[5], 'INT_ARG5'),
    cmd5,
    param(sources[7], 4, [9, 9, 9, 9, 9, 9, 9]),
    param(sources[8], 6, [1]),
    param(sources[9], 4, [9, 9, 9, 9, 9, 9, 9]),
    refusal(sources[10], 'AT_MOST_7_BYTES'),
    param(sources[11], 6, []),
    param(sources[12], 8, [1, 2, 3, 4, 5, 6, 7]),
    param(sources[13], 2, []),
  ]);
});

test('a failing bus write: the failure lines and errors, the code in writes(), then a clean call', async () => {
  const sources = [
    'sendCommand(5)',
    'sendCommand(5)',
    'writeParameter(3, Buffer.from([1, 2]))',
    'writeParameter(3, Buffer.from([1, 2]))',
    'sendCommand(44, 0, 0)',
  ];
  const body = (debug) => `${CHILD}
    await start({ debug: ${debug} });
    bridge.failWrites(1, 4);
    call('#1 ' + ${JSON.stringify(sources[0])}, () => qel.${sources[0]});
    call('#2 ' + ${JSON.stringify(sources[1])}, () => qel.${sources[1]});
    bridge.failWrites(1, 0x21);
    call('#3 ' + ${JSON.stringify(sources[2])}, () => qel.${sources[2]});
    call('#4 ' + ${JSON.stringify(sources[3])}, () => qel.${sources[3]});
    bridge.failWrites(1, 255);
    call('#5 ' + ${JSON.stringify(sources[4])}, () => qel.${sources[4]});
    finish();
  `;
  const cmd5 = hex('30 00 00 04 E0 00 00 08 05 00 00 00 00 00 00 00 F1');
  const p3 = hex('30 00 00 05 60 00 00 08 03 01 02 00 00 00 00 00 73');
  const c300 = hex('30 00 00 04 E0 00 00 08 2C 06 00 00 00 00 00 00 E2');
  for (const debug of [false, true]) {
    const r = await runScenario(body(debug), { debugLog: debug });
    const dump = (name, f) => (debug ? [dumpLine(name, f)] : []);
    const failed = (label, f, code, lines, thrown) =>
      ({ label, error: `TypeError: ${msg(thrown)}`, returned: 'undefined', writes: [{ hex: f, code }], lines });
    assert.deepEqual(outcomes(r), [
      failed(`#1 ${sources[0]}`, cmd5, 4, [msg('CMD_TFT', 5), ...dump('CMD_DUMP', cmd5), msg('SEND_FAILED')], 'SEND_FAILED'),
      success(`#2 ${sources[1]}`, cmd5, [msg('CMD_TFT', 5), ...dump('CMD_DUMP', cmd5), msg('CMD_SENT')]),
      failed(`#3 ${sources[2]}`, p3, 0x21, [msg('PARAM_NUM', 3), ...dump('PARAM_DUMP', p3), msg('SEND_FAILED')], 'PARAM_FAILED'),
      success(`#4 ${sources[3]}`, p3, [msg('PARAM_NUM', 3), ...dump('PARAM_DUMP', p3), msg('PARAM_WRITTEN')]),
      failed(`#5 ${sources[4]}`, c300, 255,
        [msg('CMD_TFT', 44), msg('CMD_READ_CFG_ALL'), msg('CMD_COP_OFF', 0), ...dump('CMD_DUMP', c300), msg('SEND_FAILED')], 'SEND_FAILED'),
    ], `debug ${debug}`);
  }
  assert.equal(msg('SEND_FAILED'), 'QEL Driver -- Error sending the command');
  assert.equal(msg('PARAM_FAILED'), 'QEL Driver -- Error writing the parameter');
});

test('load: thousands of calls against a flooded 400 kHz bus and a fast heartbeat stay whole and in order', async (t) => {
  const r = await runScenario(`${CHILD}
    bridge.busSpeed(400000);
    // A flood of received frames of several kinds, interleaved.
    const kinds = [frame(0x1a1, [1, 2, 3, 4]), frame(0x2a1, [5, 6]), frame(0x3a1, [7]), frame(0x123, [8, 9]),
      frame(0x2c0, [1], { badChecksum: true }), frame(0x4a1, [2, 2, 2, 2, 2, 2, 2, 2])];
    for (let i = 0; i < 2000; i++) bridge.receive(kinds[i % kinds.length], 50);
    let deliveries = 0;
    qel.registerCallback(() => { deliveries++; });
    qel.driverStart(0, 0, 3000, 300, undefined, undefined, false);
    console.log('@@started');

    // A small fixed generator, so a failure can be replayed.
    let seed = 12345;
    const rand = (n) => { seed = (seed * 1103515245 + 12345) >>> 0; return (seed >>> 8) % n; };
    const pick = (list) => list[rand(list.length)];
    const numbers = [-1, 0, 1, 2, 3, 255, 256, 300, 1000, 2.7, -1.5, 2 ** 32 + 9, 65535];
    function nextCall() {
      if (rand(3) === 0) {
        const n = pick([0, 1, 2, 3, 7]);
        const bytes = Array.from({ length: n }, () => rand(256));
        const num = pick([...numbers, rand(256), rand(256)]);
        return rand(5) === 0 && n === 0 ? ['writeParameter', [num]] : ['writeParameter', [num, bytes]];
      }
      const count = 1 + rand(5);
      const args = [pick([...numbers, rand(256), rand(256)])];
      if (count > 1) args.push(pick([-1, 0, 1, 1, 2]));
      if (count > 2) args.push(pick([-1, 0, 1, 3]));
      if (count > 3) args.push(pick([-1, 0, 1, 5]));
      if (count > 4) args.push(rand(10) === 0 ? pick([256, -5, 1000]) : rand(256));
      return ['sendCommand', args];
    }

    const TOTAL = 4000;
    const log = [];
    let errors = [];
    const began = Date.now();
    await new Promise((resolve) => {
      const batch = () => {
        for (let k = 0; k < 25 && log.length < TOTAL; k++) {
          const [fn, args] = nextCall();
          const callArgs = fn === 'writeParameter' && args.length === 2 ? [args[0], Buffer.from(args[1])] : args;
          let error = null;
          try { qel[fn](...callArgs); } catch (e) { error = e.message; }
          log.push({ fn, args, error });
        }
        if (log.length < TOTAL) setImmediate(batch); else resolve();
      };
      setImmediate(batch);
    });
    const elapsed = Date.now() - began;
    const pending = bridge.pending();
    // However slow the machine, the heartbeat has shown that it keeps going.
    const beats = () => bridge.writes().filter((w) => w.bytes.length === 17 && w.bytes[3] === 0x07 && w.bytes[4] === 0x60).length;
    const beating = await until(() => beats() >= 10, 30000).catch(() => false);
    await wait(20);
    console.log('@@end');
    const all = bridge.writes();
    const transmit = all.filter((w) => w.bytes.length === 17 && w.bytes[0] === 0x30);
    done({
      log,
      elapsed,
      beating,
      overlaps: bridge.state().overlaps,
      pending,
      deliveries,
      heartbeats: transmit.filter((w) => w.bytes[3] === 0x07 && w.bytes[4] === 0x60).map((w) => w.bytes.toString('hex')),
      frames: transmit.filter((w) => !(w.bytes[3] === 0x07 && w.bytes[4] === 0x60)).map((w) => w.bytes.toString('hex') + ':' + w.code),
      odd: all.filter((w) => w.bytes.length !== 17 && w.bytes.length > 2).map((w) => w.bytes.toString('hex')),
    });
  `, { timeout: 60000 });
  const res = r.result;
  t.diagnostic(`${res.log.length} calls in ${res.elapsed} ms, ${res.heartbeats.length} heartbeats, ${res.deliveries} deliveries, ${res.pending} frames still queued`);
  assert.equal(res.overlaps, 0, 'no two transfers ever shared the bus');
  assert.equal(res.log.length, 4000);
  assert.ok(res.pending > 0, 'the receive flood lasted the whole run');
  assert.ok(res.pending < 100000, 'the receive loop kept polling meanwhile');
  assert.deepEqual(res.odd, []);

  // Expected outcome of every call, from its arguments alone.
  const expectedFrames = [];
  const expectedLines = [];
  let refused = 0;
  res.log.forEach(({ fn, args, error }, i) => {
    if (fn === 'sendCommand') {
      const [tft, readCfg, , , parm] = commandFields(args);
      const refusal = tft > 255 ? 'BAD_TFT' : readCfg === 1 && (parm >>> 0) > 255 && 'BAD_PARAM_NUM';
      if (refusal) {
        assert.equal(error, msg(refusal), `call ${i} sendCommand(${args.join(', ')})`);
        refused++;
        return;
      }
      assert.equal(error, null, `call ${i} sendCommand(${args.join(', ')})`);
      expectedFrames.push(`${commandFrame(...args)}:0`);
      expectedLines.push(...commandLines(...args), msg('CMD_SENT'));
    } else if ((args[0] | 0) >>> 0 > 255) {
      assert.equal(error, msg('BAD_WRITE_PARAM_NUM'), `call ${i} writeParameter(${JSON.stringify(args)})`);
      refused++;
    } else {
      assert.equal(error, null, `call ${i} writeParameter(${JSON.stringify(args)})`);
      expectedFrames.push(`${parameterFrame(args[0], args[1])}:0`);
      expectedLines.push(msg('PARAM_NUM', args[0] | 0), msg('PARAM_WRITTEN'));
    }
  });
  assert.ok(refused > 0 && res.log.length - refused >= 2000, `most calls accepted, some refused on purpose (${refused} refused)`);
  assert.equal(res.frames.length, res.log.length - refused, 'one frame per accepted call');
  assert.deepEqual(res.frames, expectedFrames, 'every frame exactly as its call asked, in order');
  const hbFrame = hex('30 00 00 07 60 00 00 01 00 00 00 00 00 00 00 00 68');
  assert.ok(res.beating, `the heartbeat ran alongside (${res.heartbeats.length})`);
  assert.deepEqual([...new Set(res.heartbeats)], [hbFrame], 'every heartbeat frame whole');

  const at = r.lines.indexOf('@@started');
  const end = r.lines.indexOf('@@end');
  const printed = r.lines.slice(at + 1, end).filter((l) => l !== msg('HB_STARTING', 3000));
  assert.equal(printed.length, expectedLines.length);
  assert.deepEqual(printed, expectedLines);
});
