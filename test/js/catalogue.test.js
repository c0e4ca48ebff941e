'use strict';
// Coverage of the console catalogue: a few scenarios on the simulated bridge
// provoke every console message that can be provoked from JavaScript, and
// every console format of src/qel/messages.h must show up, whole on one
// line, in their output. A message added to the catalogue without a scenario
// that prints it makes this file fail.
const { describe, test, before } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const { MSG, msg, format, KERNEL } = require('../helpers/catalogue');
const { runScenario, root } = require('../helpers/scenario');
const { frame } = require('../helpers/frames');

// Console messages are the catalogue's entries before its thrown texts.
function consoleNames() {
  const source = fs.readFileSync(path.join(root, 'src', 'qel', 'messages.h'), 'utf8').split('\n');
  const end = source.findIndex((l) => l.startsWith('// Errors thrown as TypeError'));
  assert.ok(end > 0, 'the catalogue keeps its thrown texts in a section of their own');
  const names = [];
  for (const line of source.slice(0, end)) {
    const m = /^#define MSG_(\w+) "/.exec(line);
    if (m) names.push(m[1]);
  }
  return names;
}

// Pieces that only occur inside a line assembled from several calls, and
// the lines they belong to.
const PIECES = { LISTENING_ENTRY: 'LISTENING_PREFIX', RECEIVED_BYTE: 'RECEIVED_PREFIX', RECEIVED_SUFFIX: 'RECEIVED_PREFIX', DUMP_BYTE: 'CMD_DUMP', CONSOLE_LINE_CUT: 'CALLBACK_EXCEPTION_DETAILS',
  MIRROR_NO_CAN: 'MIRROR_FAILED', MIRROR_NO_INTERFACE: 'MIRROR_FAILED', MIRROR_DOWN: 'MIRROR_FAILED',
  MIRROR_WENT_DOWN: 'MIRROR_STOPPED', MIRROR_REMOVED: 'MIRROR_STOPPED' };

// Console messages that no scenario through the JavaScript functions can
// provoke, and why.
const NOT_PROVOKABLE = {
  NO_STATUS_CHANGE: 'the wake-up callback runs only after the receive loop posted a change; ' +
    'from JavaScript there is no way to wake it with nothing pending',
  CONSOLE_DROPPED: 'needs a standard output that stops being read (log-exit.test.js stalls one)',
  LOG_DROPPED: 'needs a log file slower than the receive loop; the queue behind it is tested in the core',
  LOG_LOST: 'needs a file system that fills up (log-exit.test.js mounts one)',
  ...Object.fromEntries(['MIRROR_ON', 'MIRROR_STOPPED', 'MIRROR_WENT_DOWN', 'MIRROR_REMOVED'].map((name) => [name,
    'needs a kernel with CAN sockets and a vcan (test/pi/guest.test.js, on the emulated Raspberry Pi)'])),
};

// The bcm2835 path's own lines, which a run on the kernel's path
// (QEL_SIM_BUS=i2c-dev) cannot print.
const BCM2835_ONLY = ['BOARD_UNSUPPORTED', 'NOT_A_PI', 'INIT_FAILED', 'I2C_BEGIN_FAILED', 'CLOCK_DIVIDER'];

// A printf format as a regular expression of the text it prints.
function pattern(fmt) {
  return fmt.split(/(%2x|%llu|%u|%d|%x|%s)/).map((part) => ({
    '%2x': '[ 0-9a-f][0-9a-f]',
    '%llu': '\\d+',
    '%u': '\\d+',
    '%d': '-?\\d+',
    '%x': '[0-9a-f]+',
    '%s': '.*',
  }[part] || part.replace(/[.*+?^${}()|[\]\\]/g, '\\$&'))).join('');
}

// The whole line (or, for the received-message dump, the two lines) that a
// console name stands for.
function lineRegex(name) {
  const p = (n) => pattern(MSG[n]);
  const whole = {
    LISTENING_PREFIX: `${p('LISTENING_PREFIX')}(?:${p('LISTENING_ENTRY')})*`,
    RECEIVED_PREFIX: `${p('RECEIVED_PREFIX')}(?:${p('RECEIVED_BYTE')}){8}${p('RECEIVED_SUFFIX')}`,
    CMD_DUMP: `${p('CMD_DUMP')}(?:${p('DUMP_BYTE')}){17}`,
    PARAM_DUMP: `${p('PARAM_DUMP')}(?:${p('DUMP_BYTE')}){17}`,
  }[name] || p(name);
  return new RegExp(`^${whole}$`, 'm');
}

const CHILD = `
const U = undefined;
const fs = require('fs');
let calls = 0;
let throwNext = false;
qel.registerCallback(() => {
  calls++;
  if (throwNext) { throwNext = false; throw new Error('boom from the callback'); }
});
async function settle() {
  await until(() => bridge.pending() === 0);
  const r = bridge.reads();
  await until(() => bridge.reads() >= r + 2);
}
const transmits = (id) => bridge.writes().filter((w) => w.bytes.length === 17 && w.bytes[3] * 256 + w.bytes[4] === id);
`;

// 256 characters, one more than the driver takes: cut, it names /dev/i2c-1.
const LONG_DEVICE = `/dev${'/'.repeat(246)}i2c-10`;
const SCENARIOS = {
  // Debug mode: receive-loop lines, heartbeat failure, frame dumps of
  // commands and parameters, a callback that throws.
  debug: [`${CHILD}
    if (!process.env.QEL_SIM_BUS) {  // the kernel's path drives this board
      const model = require('path').join(require('os').tmpdir(), 'qel-model-' + process.pid);
      fs.writeFileSync(model, 'Raspberry Pi 500 Rev 1.0\\0');
      bridge.boardModelFile(model);
      try { qel.driverStart(0, 1000, 20000, 300, U, U, true); } catch { /* refused: the board is printed */ }
      bridge.boardModelFile(model + '-none');  // a PC: no device tree
      try { qel.driverStart(0, 1000, 20000, 300, U, U, true); } catch { /* refused before any mapping */ }
      bridge.boardModelFile('');
      fs.unlinkSync(model);
    }
    qel.driverStart(0, 1000, 20000, 300, U, U, true);
    bridge.failWrites(1, 4);
    await until(() => bridge.writes().some((w) => w.code === 4));
    bridge.receive(frame(0x1a1, [1, 2, 3]));
    bridge.receive(frame(0x2c0, [1]));
    bridge.receive(frame(0x2c0, [1]));
    bridge.receive(frame(0x1a1, [1, 2, 4], { badChecksum: true }));
    await settle();
    bridge.failReads(1, 2);
    await settle();
    qel.simulate(simBytes(0x3a1, [5]));
    await until(() => calls === 3);
    qel.sendCommand(44, 0, 1, 1);
    qel.sendCommand(-1, 1, 0, 0, 7);
    qel.writeParameter(3, Buffer.from([1, 2]));
    throwNext = true;
    bridge.receive(frame(0x4a1, [9]));
    await until(() => calls === 4);
    await wait(20);
    done({ commands: transmits(0x4e0).map((w) => [...w.bytes]), parameters: transmits(0x560).map((w) => [...w.bytes]) });
  `, { debugLog: true }],

  // Start-up failures one after the other, then a start without debug mode
  // and without heartbeat, a capture function that throws, and failed
  // transmissions.
  plain: [`${CHILD}
    const thrown = [];
    const attempt = (fn) => { try { fn(); thrown.push(null); } catch (e) { thrown.push(e.message); } };
    bridge.failInit(true);
    attempt(() => qel.driverStart(0, 1000, -1, 300, U, U, U));
    bridge.failInit(false);
    bridge.baudReadback([0x0e, 0x0e]);
    attempt(() => qel.driverStart(0, 1000, -1, 300, U, U, U));
    bridge.failSelect(3);
    attempt(() => qel.driverStart(0, 1000, -1, 300, U, U, U));
    bridge.failSelect(0);
    process.env.QEL_MIRROR = 'qelnone0';
    attempt(() => qel.driverStart(0, 1000, -1, 300, U, U, U));
    let batches = 0;
    qel.capture(() => { batches++; throw new Error('boom from the capture'); });
    bridge.receive(frame(0x123, [1]));
    await until(() => batches === 1);
    qel.sendCommand(5);
    bridge.failWrites(2, 2);
    attempt(() => qel.sendCommand(6));
    attempt(() => qel.writeParameter(9, Buffer.from([1])));
    // Time for the heartbeat thread to say that it is disabled.
    await wait(300);
    done({ thrown });
  `, {}],

  // The kernel's path against the emulated i2c-dev: no such device, a bus
  // where nothing answers at 0x25 (the clock unknown), a path too long to be
  // taken, no permission, the address taken, then a Pi 5 that starts.
  kernel: [`${CHILD}
    const thrown = [];
    const attempt = (fn) => { try { fn(); thrown.push(null); } catch (e) { thrown.push(e.message); } };
    const start = () => attempt(() => qel.driverStart(0, 1000, -1, 300, U, U, U));
    process.env.QEL_I2C_DEVICE = '/dev/i2c-7';
    start();
    process.env.QEL_I2C_DEVICE = '/dev/i2c-2';
    start();
    process.env.QEL_I2C_DEVICE = ${JSON.stringify(LONG_DEVICE)};
    start();
    delete process.env.QEL_I2C_DEVICE;
    bridge.failInit(true);
    start();
    bridge.failInit(false);
    bridge.failBegin(true);
    start();
    bridge.failBegin(false);
    const model = require('path').join(require('os').tmpdir(), 'qel-model-k' + process.pid);
    fs.writeFileSync(model, 'Raspberry Pi 5 Model B Rev 1.0\\0');
    bridge.boardModelFile(model);
    start();
    fs.unlinkSync(model);
    done({ thrown, state: bridge.state() });
  `, { env: { QEL_SIM_BUS: 'i2c-dev' } }],

  // The kernel flavour's real system calls, on a path that is a directory.
  kernelDevice: [`${CHILD}
    let thrown = null;
    try { qel.driverStart(0, 1000, -1, 300, U, U, U); } catch (e) { thrown = e.message; }
    done({ thrown });
  `, { flavour: 'i2c-dev', env: { QEL_I2C_DEVICE: require('os').tmpdir() } }],

  // Debug mode with a log path that cannot be opened: a symbolic link (into
  // a directory that does not exist), which the driver does not follow.
  logFails: [`${CHILD}
    const os = require('os');
    const path = require('path');
    fs.rmSync(bridge.logPath, { force: true });
    fs.symlinkSync(path.join(os.tmpdir(), 'qel-missing-' + process.pid + '-' + Date.now(), 'log.txt'), bridge.logPath);
    bridge.failBegin(true);
    try { qel.driverStart(0, 1000, -1, 300, U, U, true); } catch { bridge.failBegin(false); }
    try {
      qel.driverStart(0, 1000, -1, 300, U, U, true);
    } finally {
      fs.unlinkSync(bridge.logPath);
    }
    await wait(300);
    done({});
  `, { debugLog: true }],
};

describe('console catalogue', () => {
  const results = {};
  let output = '';
  before(async () => {
    const names = Object.keys(SCENARIOS);
    const runs = await Promise.all(names.map((n) => runScenario(...SCENARIOS[n])));
    names.forEach((n, i) => { results[n] = runs[i]; });
    output = runs.map((r) => r.lines.join('\n')).join('\n');
  });

  test('every console format of the catalogue is printed whole on a line by some scenario', () => {
    const names = consoleNames();
    assert.ok(names.length >= 40, `console section holds ${names.length} names`);
    const missing = [];
    for (const name of names) {
      if (NOT_PROVOKABLE[name] || (KERNEL && BCM2835_ONLY.includes(name))) continue;
      const owner = PIECES[name] || name;
      if (!lineRegex(owner).test(output)) missing.push(name);
    }
    assert.deepEqual(missing, [], `not provoked:\n${output}`);
    // PARAM_DUMP shares its byte piece with CMD_DUMP; both were checked above.
    assert.ok(lineRegex('PARAM_DUMP').test(output));
    for (const name of Object.keys(NOT_PROVOKABLE)) assert.ok(names.includes(name), `${name} is in the catalogue`);
  });

  test('start-up lines with their values', () => {
    const out = results.plain.lines;
    assert.deepEqual(results.plain.result.thrown, [msg('START_FAILED'), msg('START_FAILED'), msg('START_FAILED'), null,
      msg('SEND_FAILED'), msg('PARAM_FAILED')]);
    const banner = 'QEL Driver -- starting with I2C Delay Cycle=0us, CAN BUS Delay Cycle=1000us, HEARTBIT Delay Cycle=-1us, DEBOUNCING=300ms';
    assert.equal(msg('STARTING', 0, 1000, -1, 300), banner);
    assert.equal(out.filter((l) => l === banner).length, 4, 'one banner per start');
    const listening = msg('LISTENING_PREFIX') + [[0x1a1, 1], [0x2a1, 0], [0x3a1, 1], [0x4a1, 0], [0x2a2, 0], [0x2c0, 0],
      [0x2c1, 0], [0x2c4, 0], [0x2c5, 0], [0x2c8, 0], [0x2c9, 0]].map(([id, c]) => msg('LISTENING_ENTRY', id, c)).join('');
    assert.equal(out.filter((l) => l === listening).length, 4);
    const first = out.indexOf(banner);
    // The first start: the library cannot start.
    assert.deepEqual(out.slice(first, first + 3), [banner, listening, msg('INIT_FAILED')]);
    // Then: the bit rate fails, the receive register fails, the start works.
    const settings = [msg('CLOCK_DIVIDER', 626), msg('SLAVE_ADDRESS', 0x25), msg('FRAME_LEN', 16), msg('DEBUG_MODE', 0)];
    assert.deepEqual(out.slice(first + 3, first + 3 + 7), [banner, listening, ...settings, msg('BAUD_FAILED', 0x0e)]);
    assert.equal(out[first + 10], banner);
    assert.deepEqual(out.slice(first + 12, first + 12 + 6), [...settings, msg('BAUD_OK', 0x0f), msg('SELECT_FAILED')]);
    assert.equal(out[first + 18], banner);
    assert.deepEqual(out.slice(first + 20, first + 20 + 6), [...settings, msg('BAUD_OK', 0x0f), msg('SELECT_OK')]);
    // QEL_MIRROR on a kernel without CAN (or without that interface): one line, and the driver runs.
    assert.ok([msg('MIRROR_FAILED', 'qelnone0', MSG.MIRROR_NO_CAN), msg('MIRROR_FAILED', 'qelnone0', msg('MIRROR_NO_INTERFACE', 'qelnone0', 'qelnone0'))]
      .includes(out[first + 26]), out[first + 26]);
    assert.equal(msg('MIRROR_FAILED', 'vcan0', MSG.MIRROR_NO_CAN), 'QEL Driver -- Cannot mirror to vcan0: this kernel has no CAN sockets (load them: sudo modprobe can-raw)');
    assert.equal(msg('BAUD_FAILED', 0x0e), 'QEL Driver -- Error setting CAN Bus BAUD speed to 250000, value in register 0x03 = 0xe');
    assert.equal(MSG.INIT_FAILED, 'QEL Driver -- bcm2835_init failed. Are you running as root??');
  });

  test('the kernel path: each failure of the device its line, then Error starting the driver; a Pi 5 starts', () => {
    const b = results.kernel.lines.filter((l) => !/^QEL Driver -- (starting|listening)/.test(l));
    assert.deepEqual(b, [
      format(MSG.I2C_DEV_MISSING, '/dev/i2c-7'),
      format(MSG.I2C_DEV_CLOCK_KERNEL, '/dev/i2c-2'),
      format(MSG.SLAVE_ADDRESS, 0x25), format(MSG.FRAME_LEN, 16), format(MSG.DEBUG_MODE, 0), format(MSG.BAUD_FAILED, 0),
      format(MSG.I2C_DEV_PATH_TOO_LONG, LONG_DEVICE, 255),
      format(MSG.I2C_DEV_DENIED, '/dev/i2c-1', 'i2c', 'i2c'),
      format(MSG.I2C_DEV_ADDRESS_FAILED, '/dev/i2c-1', 0x25, 'Device or resource busy'),
      format(MSG.I2C_DEV_CLOCK, 400000, '/dev/i2c-1'), format(MSG.SLAVE_ADDRESS, 0x25), format(MSG.FRAME_LEN, 16), format(MSG.DEBUG_MODE, 0),
      format(MSG.BAUD_OK, 0x0f), format(MSG.SELECT_OK), format(MSG.HB_DISABLED),
    ]);
    assert.deepEqual(results.kernel.result.thrown, [...Array(5).fill(MSG.START_FAILED), null]);
    assert.deepEqual(results.kernel.result.state, { initialized: true, i2cOpen: true, slaveAddress: 0x25, clockDivider: 0, overlaps: 0 });
    assert.equal(b[0], 'QEL Driver -- /dev/i2c-7 does not exist: enable I2C (sudo raspi-config, Interface Options, I2C; or dtparam=i2c_arm=on in config.txt) and reboot');
    assert.equal(b[9], 'QEL Driver -- I2C clock set by the kernel: 400000Hz (/dev/i2c-1)');
    assert.deepEqual(results.kernelDevice.lines.slice(2), [format(MSG.I2C_DEV_OPEN_FAILED, require('os').tmpdir(), 'Is a directory')]);
    assert.equal(results.kernelDevice.result.thrown, MSG.START_FAILED);
  });

  test('debug start-up, log opening failure, heartbeat lines', () => {
    const debug = results.debug.lines;
    assert.ok(debug.includes(msg('DEBUG_MODE', 1)));
    assert.ok(debug.includes(msg('DEBUG_ENABLED')));
    assert.ok(!debug.includes(msg('LOG_OPEN_FAILED')));
    assert.ok(debug.includes(msg('HB_STARTING', 20000)));
    assert.ok(debug.includes('QEL Driver -- Heartbit thread starting with MSGID=0x760 and frequency=20000us'));
    assert.ok(debug.includes(msg('HB_FAILED')));
    const failed = results.logFails.lines;
    const at = failed.indexOf(msg('DEBUG_ENABLED'));
    assert.deepEqual(failed.slice(at, at + 3), ['QEL Driver -- Debug mode enabled, will log messages to the log file',
      format(MSG.LOG_FILE, require('../../sim').bridge.logPath), 'QEL Driver -- Error opening log file']);
  });

  test('receive-loop lines and the callback exception', () => {
    const out = results.debug.lines;
    const bad = frame(0x1a1, [1, 2, 4], { badChecksum: true });
    for (const line of [msg('DEBOUNCING', 0x2c0, 1), msg('CHECKSUM_ERROR', bad[15], frame(0x1a1, [1, 2, 4])[15]),
      msg('READ_FAILED', 2), msg('SIMULATING')]) {
      assert.ok(out.includes(line), line);
    }
    const dump = out.indexOf(msg('RECEIVED_PREFIX', 0x1a1) + [1, 2, 3, 0, 0, 0, 0, 0].map((b) => msg('RECEIVED_BYTE', b)).join(''));
    assert.ok(dump >= 0);
    const cs = frame(0x1a1, [1, 2, 3])[15].toString(16);
    assert.match(out[dump + 1], new RegExp(`^QEL Driver -- Checksum = ${cs}, calculated checksum = ${cs}, counter =1, timestamp = \\d+, status changed = 0$`));
    const ex = out.indexOf(msg('CALLBACK_EXCEPTION'));
    assert.deepEqual(out.slice(ex, ex + 2), ['QEL Driver -- async_callback exception occurred',
      msg('CALLBACK_EXCEPTION_DETAILS', 'Error: boom from the callback')]);
  });

  test('command and parameter lines with their frame dumps', () => {
    const out = results.debug.lines;
    const { commands, parameters } = results.debug.result;
    assert.equal(commands.length, 2);
    assert.equal(parameters.length, 1);
    const dump = (name, id, bytes) => msg(name, id) + bytes.map((b) => msg('DUMP_BYTE', b)).join('');
    const expected = [
      msg('CMD_TFT', 44), msg('CMD_READ_CFG_ALL'), msg('CMD_COP_ON', 1), msg('CMD_COP_COLOR', 1),
      dump('CMD_DUMP', 0x4e0, commands[0]), msg('CMD_SENT'),
      msg('CMD_READ_CFG'), msg('CMD_COP_OFF', 0), dump('CMD_DUMP', 0x4e0, commands[1]), msg('CMD_SENT'),
      msg('PARAM_NUM', 3), dump('PARAM_DUMP', 0x560, parameters[0]), msg('PARAM_WRITTEN'),
    ];
    const start = out.indexOf(expected[0]);
    assert.deepEqual(out.slice(start, start + expected.length), expected);
    // The same two dumps written out by hand, so that a typo in the
    // catalogue's formats shows here.
    const byHand = (bytes) => bytes.map((b) => `${b.toString(16).padStart(2, ' ')} `).join('');
    assert.equal(expected[4], `QEL Driver -- sending command with ID = 0x4e0, data = ${byHand(commands[0])}`);
    assert.equal(expected[11], `QEL Driver -- writing a parameter with MSG ID = 0x560, data = ${byHand(parameters[0])}`);
    assert.equal(byHand(parameters[0]).slice(0, 27), '30  0  0  5 60  0  0  8  3 ');

    // The heartbeat thread announces itself whenever it gets to run.
    const plain = results.plain.lines.filter((l) => l !== msg('HB_DISABLED'));
    const sent = plain.indexOf(msg('CMD_TFT', 5));
    assert.deepEqual(plain.slice(sent, sent + 6), [msg('CMD_TFT', 5), msg('CMD_SENT'), msg('CMD_TFT', 6), msg('SEND_FAILED'),
      msg('PARAM_NUM', 9), msg('SEND_FAILED')]);
  });

  test('literal spot checks of the catalogue', () => {
    assert.equal(MSG.STARTING, 'QEL Driver -- starting with I2C Delay Cycle=%dus, CAN BUS Delay Cycle=%dus, HEARTBIT Delay Cycle=%dus, DEBOUNCING=%dms');
    assert.equal(MSG.LISTENING_PREFIX, 'QEL Driver -- listening for IDs: ');
    assert.equal(MSG.LISTENING_ENTRY, '0x%x (cyclic=%d) ');
    assert.equal(MSG.RECEIVED_PREFIX, 'QEL Driver -- received message with ID = 0x%x, data = ');
    assert.equal(MSG.RECEIVED_SUFFIX, '\nQEL Driver -- Checksum = %x, calculated checksum = %x, counter =%d, timestamp = %llu, status changed = %d');
    assert.equal(MSG.CMD_COP_COLOR, 'QEL Driver -- setting command to the QEL module: COP Light Color = 0x%x');
    assert.equal(MSG.NO_STATUS_CHANGE, 'QEL Driver -- async_callback called with status_changed = %d, no status change detected');
    assert.equal(MSG.CALLBACK_EXCEPTION_DETAILS, 'QEL Driver -- async_callback exception details: %s');
    assert.equal(MSG.HB_FAILED, 'QEL Driver -- Error sending the Heartbit');
    assert.equal(MSG.CLOCK_DIVIDER, 'QEL Driver -- Clock divider set to: 400Kbps (%d)');
    for (const name of consoleNames()) {
      if (PIECES[name]) continue;
      assert.ok(MSG[name].startsWith('QEL Driver -- '), `${name} begins with the driver's prefix`);
    }
  });
});
