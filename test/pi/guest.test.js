'use strict';
// The real flavours on the emulated Raspberry Pi 3 B and 2 B (tools/qel-test-pi
// runs this file inside the guest only): Debian's kernel with its i2c-bcm2835
// and i2c-dev, a device tree as the firmware hands it over, QEMU's BSC
// controller, and the bridge model at 0x25 (tools/pi/qel_bridge.c), which
// the tests feed and read back through bridge-model.js. QEL_PI_MODE says
// what the boot is for:
//   kernel   the kernel's I2C flavour and its failure paths, the mirror
//   bcm2835  the bcm2835 flavour (QEMU's controller patched as the
//            datasheet describes it)
//   stock    stock QEMU, nothing at 0x25: the bcm2835 flavour on a
//            controller whose transfers never end
//   pi5      stock QEMU, the device tree's model a Raspberry Pi 5's
// QEL_PI_ADDONS is armv6 where the package's ARMv6 prebuilt add-ons stand
// in for the board's own build.
const { describe, test, before, beforeEach, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const { execFileSync, spawn } = require('child_process');
const candumpFormat = require('../../lib/monitor/candump').format;
const { MSG, format } = require('../helpers/catalogue');
const { transmitFrame, frame, empty, checksum } = require('../helpers/frames');
const { runScenario, spawnScenario } = require('../helpers/scenario');
const { model, FRAMES, spaced } = require('./bridge-model');

const MODE = process.env.QEL_PI_MODE;
const MODEL = '/proc/device-tree/model';
const BOARD = fs.readFileSync(MODEL, 'utf8').replace(/\0$/, '');
const ARMV6 = process.env.QEL_PI_ADDONS === 'armv6';
const U = undefined;

const DEFAULT_IDS = [[0x1a1, 1], [0x2a1, 0], [0x3a1, 1], [0x4a1, 0], [0x2a2, 0], [0x2c0, 0],
  [0x2c1, 0], [0x2c4, 0], [0x2c5, 0], [0x2c8, 0], [0x2c9, 0]];
const LISTENING = MSG.LISTENING_PREFIX + DEFAULT_IDS.map(([id, c]) => format(MSG.LISTENING_ENTRY, id, c)).join('');

// The lines of a start-up up to the debug-mode line, with the flavour's
// clock line; i2c_delay 0, polls every 100 ms, no heartbeat, a debounce
// window that no run reaches.
const SETTINGS = [0, 100000, -1, 60000];
const bringUp = (clockLine) => [format(MSG.STARTING, ...SETTINGS), LISTENING, clockLine,
  format(MSG.SLAVE_ADDRESS, 0x25), format(MSG.FRAME_LEN, 16), format(MSG.DEBUG_MODE, 0)];
const started = (clockLine) => [...bringUp(clockLine), format(MSG.BAUD_OK, 0x0f), MSG.SELECT_OK, MSG.HB_DISABLED];
const KERNEL_CLOCK = format(MSG.I2C_DEV_CLOCK, 400000, '/dev/i2c-1');
const LIBRARY_CLOCK = format(MSG.CLOCK_DIVIDER, 626);

// What the emulated Pi showed, on its console for the run's log.
function show(title, value) {
  const text = typeof value === 'string' ? value : JSON.stringify(value, null, 1).replace(/\n\s*/g, ' ');
  try { fs.writeFileSync('/dev/console', `qel-guest: ${title}: ${text}\n`); } catch { /* no console */ }
}

const sh = (file, ...args) => execFileSync(file, args, { encoding: 'utf8' });
const modprobe = (name) => sh('insmod', `/lib/modules/${name}.ko`);
const rmmod = (name) => sh('rmmod', name);

// A virtual CAN interface, as its set-up makes one on a Raspberry Pi.
function vcan() {
  if (!fs.existsSync('/sys/class/net/vcan0')) sh('ip', 'link', 'add', 'dev', 'vcan0', 'type', 'vcan');
  sh('ip', 'link', 'set', 'up', 'vcan0');
}

// Waits until a raw CAN socket reads `iface`: the kernel lists its filter
// under the interface's name (an interface without one shows "(vcan0: no entry)").
const reading = (iface) => fs.readFileSync('/proc/net/can/rcvlist_all', 'utf8').split('\n').some((l) => l.trim().startsWith(`${iface} `));
async function readerOn(iface) {
  const end = Date.now() + 30000;
  while (!reading(iface)) {
    if (Date.now() > end) throw new Error(`no reader on ${iface}`);
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
}

// candump -L vcan0, ready to read; stop() ends it and gives its lines
// without their time stamps.
async function candump() {
  const child = spawn('candump', ['-L', 'vcan0'], { stdio: ['ignore', 'pipe', 'inherit'] });
  let out = '';
  child.stdout.on('data', (d) => { out += d; });
  const ended = new Promise((resolve) => child.on('close', resolve));
  await readerOn('vcan0');
  return {
    child,
    stop: async () => {
      child.kill('SIGINT');
      await ended;
      return out.split('\n').filter(Boolean).map((l) => l.replace(/^\(\d+\.\d+\) /, ''));
    },
  };
}

// A fresh bridge with the named frames waiting.
function loadFrames() {
  model.reset();
  model.queue(spaced());
}

// What the bridge was sent, as 17-byte transmit writes; no transfer the
// bridge would not understand.
function sentToBridge() {
  const errors = model.errors();
  assert.deepEqual(errors, { count: 0, list: [] }, 'protocol errors at the bridge');
  return model.sent().map((s) => Buffer.concat([Buffer.from([0x30]), s.bytes]));
}

// The device files as Raspberry Pi OS has them: group i2c, read-write for it.
function deviceFilesForGroup() {
  for (const name of fs.readdirSync('/dev').filter((n) => n.startsWith('i2c-'))) {
    fs.chownSync(`/dev/${name}`, 0, 998);
    fs.chmodSync(`/dev/${name}`, 0o660);
  }
}
const AS_PI = { uid: 1000, gid: 998 };
const AS_GUEST = { uid: 1001, gid: 1001 };

// The child's side: starts the driver, collects every delivered status
// until the last named frame, then sends one command or parameter.
const RUN = (transmit) => `
  const got = [];
  qel.registerCallback((s) => got.push({ keys: Object.keys(s), ...s, msg_data: [...s.msg_data] }));
  qel.driverStart(${SETTINGS.join(', ')}, undefined, undefined, undefined);
  console.log('#frames');
  await until(() => got.length >= ${FRAMES.filter((f) => f.report).length}, 60000);
  const delivered = got.slice();
  const slots = [0x1a1, 0x2c0, 0x4a1, 0x421, 0x123].map((id) => { const s = qel.readStatus(id); return { ...s, msg_data: [...s.msg_data] }; });
  ${transmit};
  await wait(300);
  done({ got: delivered, slots });
`;

// A start that fails at the bridge: its lines after the banner and the
// listening list, once driverStart threw what every such failure throws.
async function failedStart(flavour, opts = {}) {
  const r = await spawnScenario(`qel.registerCallback(() => {});
    try { qel.driverStart(0, 1000, -1, 300, undefined, undefined, undefined); } catch (e) { done(e.message); }`, { flavour, ...opts });
  assert.equal(r.result, MSG.START_FAILED, r.stdout + r.stderr);
  return r.lines.slice(2);
}

const idOf = (f) => f.frame[2] * 256 + f.frame[3];
const dataOf = (f) => [...f.frame.subarray(7, 15)];
const countOf = (id) => FRAMES.filter((f) => idOf(f) === id && !f.stat).length;

// Delivered statuses in order, with the statistics and counters that the
// named frames leave once all of them went through.
function assertFrames(result) {
  const expected = FRAMES.filter((f) => f.report).map((f) => [idOf(f), dataOf(f)]);
  assert.deepEqual(result.got.map((s) => [s.msg_id, s.msg_data]), expected, 'statuses delivered, in order');
  for (const s of result.got) {
    assert.deepEqual(s.keys, ['timestamp', 'counter', 'msg_id', 'msg_data', 'driver_stats']);
    assert.match(s.timestamp, /^\d{13}$/);
    assert.ok(Math.abs(Number(s.timestamp) - Date.now()) < 600000, `timestamp ${s.timestamp} is the guest's clock`);
  }
  const stats = { hb: 0, unk: 0, empty: 0, err: 0 };
  for (const f of FRAMES) if (f.stat) stats[f.stat] += 1;
  const last = result.got[result.got.length - 1];
  assert.deepEqual(last.driver_stats, stats, 'statistics after the last named frame');
  assert.equal(last.counter, countOf(0x4a1), 'every valid event frame counted');
  const [cyclic, debounced, event, disabled, unknown] = result.slots;
  assert.equal(cyclic.counter, countOf(0x1a1), 'repeats of the cyclic frame counted, the bad checksum not');
  assert.deepEqual(cyclic.msg_data, [1, 2, 3, 4, 5, 6, 7, 9]);
  assert.equal(debounced.counter, countOf(0x2c0), 'suppressed debounced frames counted');
  assert.equal(event.counter, countOf(0x4a1));
  assert.deepEqual([disabled.counter, disabled.timestamp], [0, '0'], 'a disabled slot stays empty');
  assert.equal(unknown.counter, stats.unk, 'the unknown identifiers\' slot');
}

// The command of the tests: TFT 200, Read CFG of parameter 42, COP light on
// (0x03), its colour (0x10); and a parameter with all seven value bytes.
const COMMAND = 'qel.sendCommand(200, 1, 1, 1, 42)';
const COMMAND_FRAME = transmitFrame(0x04, 0xe0, [200, 0x08 | 0x03 | 0x10, 42]);
const PARAMETER = 'qel.writeParameter(17, Buffer.from([1, 2, 3, 4, 5, 6, 7]))';
const PARAMETER_FRAME = transmitFrame(0x05, 0x60, [17, 1, 2, 3, 4, 5, 6, 7]);

function assertRun(r, clockLine, sentLine, frameBytes) {
  const frames = r.lines.indexOf('#frames');
  assert.deepEqual(r.lines.slice(0, frames), started(clockLine), 'start-up lines');
  assert.ok(r.lines.includes(sentLine), `${sentLine} in ${r.lines.join('\n')}`);
  assertFrames(r.result);
  assert.deepEqual(sentToBridge(), [frameBytes], 'the transmit frame, once, at the bridge');
}

if (MODE === 'kernel') {
  describe(`kernel I2C flavour on the emulated ${BOARD} (i2c-bcm2835, /dev/i2c-1)`, () => {
    before(deviceFilesForGroup);
    beforeEach(loadFrames);

    test('start-up with the device tree\'s 400 kHz clock, the frames as statuses, a command at the bridge', async () => {
      const r = await runScenario(RUN(COMMAND), { flavour: 'i2c-dev', timeout: 90000 });
      show('start-up lines (i2c-dev)', r.lines.slice(0, r.lines.indexOf('#frames')).join('\n'));
      show('delivered statuses (i2c-dev)', r.result.got.map(({ keys, ...s }) => s));
      assertRun(r, KERNEL_CLOCK, MSG.CMD_SENT, COMMAND_FRAME);
    });

    test('a user in the device\'s group, not root: a parameter at the bridge', async () => {
      const r = await runScenario(RUN(PARAMETER), { flavour: 'i2c-dev', timeout: 90000, user: AS_PI });
      assertRun(r, KERNEL_CLOCK, MSG.PARAM_WRITTEN, PARAMETER_FRAME);
    });

    test('nothing at 0x25 (BSC2): the kernel\'s EREMOTEIO gives the simulated bridge\'s lines and exception', async () => {
      const body = `
        qel.registerCallback(() => {});
        let thrown;
        try { qel.driverStart(${SETTINGS.join(', ')}, U, U, U); } catch (e) { thrown = [e.constructor.name, e.message]; }
        done({ thrown });`;
      const env = { QEL_I2C_DEVICE: '/dev/i2c-2' };
      const real = await runScenario(`const U = undefined; ${body}`, { flavour: 'i2c-dev', env });
      const sim = await runScenario(`const U = undefined; ${body}`, { flavour: 'sim', env: { ...env, QEL_SIM_BUS: 'i2c-dev' } });
      show('nothing at 0x25', real.lines.concat(real.result.thrown).join('\n'));
      assert.deepEqual(real.lines, [...bringUp(format(MSG.I2C_DEV_CLOCK_KERNEL, '/dev/i2c-2')), format(MSG.BAUD_FAILED, 0)]);
      assert.deepEqual(real.result.thrown, ['TypeError', MSG.START_FAILED]);
      assert.deepEqual(real.lines, sim.lines, 'the same lines as the simulated bridge\'s bus where nothing answers');
      assert.deepEqual(real.result, sim.result);
    });

    test('a user outside the device\'s group is told which group to join', async () => {
      assert.deepEqual(await failedStart('i2c-dev', { user: AS_GUEST }), [format(MSG.I2C_DEV_DENIED, '/dev/i2c-1', 'i2c', 'i2c')]);
    });

    test('i2c-dev not loaded: /dev/i2c-1 does not exist, and the message says how to enable I2C', async () => {
      rmmod('i2c_dev');
      try {
        assert.equal(fs.existsSync('/dev/i2c-1'), false);
        assert.deepEqual(await failedStart('i2c-dev'), [format(MSG.I2C_DEV_MISSING, '/dev/i2c-1')]);
      } finally {
        modprobe('i2c-dev');
      }
    });
  });

  describe('mirror to vcan0 on the real kernel: candump sees the frames the driver reads', () => {
    before(() => { deviceFilesForGroup(); vcan(); });
    beforeEach(loadFrames);

    test('every CAN frame read from the device, byte for byte as capture has it; the bridge\'s markers and bad checksums not sent, counted as the statistics count them', async () => {
      const dump = await candump();
      const r = await runScenario(`
        const frames = [];
        let empty = 0;
        qel.capture((b) => {
          empty += b.empty;
          for (let i = 0; i < b.count; i++) frames.push({ id: b.id[i], len: b.length[i], data: [...b.data.subarray(8 * i, 8 * i + 8)], bad: b.checksumError[i] });
        });
        const got = [];
        qel.registerCallback((s) => got.push(s.msg_id));
        qel.driverStart(${SETTINGS.join(', ')}, undefined, undefined, undefined);
        await until(() => got.length >= ${FRAMES.filter((f) => f.report).length}, 60000);
        const before = qel.readStatus(0xffd).driver_stats;
        const state = qel.mirror(null);
        const after = qel.readStatus(0xffd).driver_stats;
        qel.capture(null);
        done({ frames, empty, state, before, after });`, { flavour: 'i2c-dev', timeout: 90000, env: { QEL_MIRROR: 'vcan0' } });
      const lines = await dump.stop();
      const { frames, state, before, after } = r.result;
      const marker = (f) => f.len === 0xff || f.id === 0xffe || f.id === 0xffd || f.id === 0xfff;
      const sent = frames.filter((f) => !f.bad && !marker(f)).map((f) => candumpFormat({ micros: 0, iface: 'vcan0', ...f, data: Buffer.from(f.data), extended: f.id > 0x7ff }).replace(/^\S+ /, ''));
      show('mirror: candump -L vcan0', lines.join(' | '));
      show('mirror: counts', state);
      assert.ok(r.lines.includes(format(MSG.MIRROR_ON, 'vcan0')), r.lines.join('\n'));
      assert.ok(lines.length >= sent.length - 1, 'at most the frame read while the mirror stopped is missing');
      assert.deepEqual(lines, sent.slice(0, lines.length));
      assert.equal(state.sent, lines.length);
      assert.deepEqual([state.interface, state.dropped, state.checksumErrors], [null, 0, frames.filter((f) => f.bad).length]);
      // The cycle under way when the mirror stopped may count on one side only.
      assert.ok(state.empty >= before.empty - 1 && state.empty <= after.empty, `${state.empty} empty, statistics ${before.empty}-${after.empty}`);
      assert.ok(state.empty > r.result.empty, 'identifier 0xFFE counted as empty as well');
    });

    test('a flood beyond what a stopped reader takes: the receive thread goes on, every frame sent or counted as dropped', async () => {
      const dump = await candump();
      dump.child.kill('SIGSTOP');
      const N = 3000;
      const r = await runScenario(`
        qel.registerCallback(() => {});
        qel.driverStart(0, 0, -1, 300, undefined, undefined, undefined);
        for (let i = 0; i < ${N}; i++) bridge.receive(bridge.frame(0x2c1, [i & 255, i >> 8]));
        await until(() => bridge.pending() === 0, 120000);
        done(qel.mirror(null));`, { flavour: 'sim', timeout: 180000, env: { QEL_MIRROR: 'vcan0' } });
      dump.child.kill('SIGCONT');
      await new Promise((resolve) => setTimeout(resolve, 2000));  // candump reads what its queue kept
      const lines = await dump.stop();
      show('mirror flood: counts, lines candump got', { ...r.result, candump: lines.length });
      assert.equal(r.result.sent + r.result.dropped, N);
      assert.ok(lines.length <= r.result.sent);
      assert.deepEqual(lines.slice(0, 2), ['vcan0 2C1#0000', 'vcan0 2C1#0100']);
    });

    test('the interface removed while the mirror runs: one line, and the driver goes on', async () => {
      const r = await runScenario(`
        const got = [];
        qel.registerCallback((s) => got.push(s.msg_id));
        qel.driverStart(${SETTINGS.join(', ')}, undefined, undefined, undefined);
        await until(() => got.length >= 2, 60000);
        require('child_process').execFileSync('ip', ['link', 'del', 'vcan0']);
        await until(() => got.length >= 4, 60000);
        done(qel.mirror());`, { flavour: 'i2c-dev', timeout: 90000, env: { QEL_MIRROR: 'vcan0' } });
      vcan();
      const mirrorLines = r.lines.filter((l) => /[Mm]irror/.test(l));
      show('mirror: interface removed', mirrorLines.join(' | '));
      assert.equal(mirrorLines.length, 2, mirrorLines.join('\n'));
      assert.equal(mirrorLines[0], format(MSG.MIRROR_ON, 'vcan0'));
      assert.ok([MSG.MIRROR_REMOVED, MSG.MIRROR_WENT_DOWN].map((why) => format(MSG.MIRROR_STOPPED, 'vcan0', why)).includes(mirrorLines[1]));
      assert.equal(r.result.interface, null);
    });

    test('frames sent with cansend reach qel-monitor --can vcan0', async () => {
      const monitor = spawn(process.execPath, ['bin/qel-monitor.js', '--can', 'vcan0', '--lines', '--duration', '600'], { stdio: ['ignore', 'pipe', 'pipe'] });
      let out = '';
      let err = '';
      monitor.stdout.on('data', (d) => { out += d; });
      monitor.stderr.on('data', (d) => { err += d; });
      const ended = new Promise((resolve) => monitor.on('close', resolve));
      await readerOn('vcan0');
      for (const frame of ['4A1#0705', '2C0#112233', '1A1#0102030405060708']) sh('cansend', 'vcan0', frame);
      const reports = () => out.split('\n').map((l) => / (id=\S+) .*(data=\S+)/.exec(l)).filter(Boolean).map((m) => `${m[1]} ${m[2]}`);
      const end = Date.now() + 30000;
      while (reports().length < 3 && Date.now() < end) await new Promise((resolve) => setTimeout(resolve, 50));
      monitor.kill('SIGINT');
      await ended;
      show('qel-monitor --can vcan0', out + err);
      const end2 = Date.now() + 10000;
      while (reading('vcan0') && Date.now() < end2) await new Promise((resolve) => setTimeout(resolve, 50));
      assert.equal(reading('vcan0'), false, 'candump ended with the monitor');
      assert.deepEqual(reports(), ['id=0x4a1 data=0705000000000000', 'id=0x2c0 data=1122330000000000', 'id=0x1a1 data=0102030405060708']);
    });
  });

}

if (MODE === 'stock') {
  describe('bcm2835 flavour on stock QEMU, whose controller never completes the library\'s transfers', () => {
    before(() => rmmod('i2c_bcm2835'));
    after(() => modprobe('i2c-bcm2835'));

    test('the real model passes the board check; driverStart then waits for ever in the first register write, printing nothing', async () => {
      assert.equal(fs.readFileSync(MODEL, 'utf8'), 'Raspberry Pi 3 Model B\0');
      const r = await spawnScenario(`
        qel.registerCallback(() => {});
        const fs = require('fs');
        console.log('#maps ' + fs.readFileSync('/proc/self/maps', 'utf8').split('\\n').filter((l) => l.includes('qel.node')).join(' | '));
        qel.driverStart(${SETTINGS.join(', ')}, undefined, undefined, undefined);
        done('returned');`, { flavour: 'real', timeout: 10000 });
      show('bcm2835 on stock QEMU', r.lines.join('\n'));
      assert.equal(r.signal, 'SIGKILL', 'driverStart never returned');
      // Start-up's lines go out when driverStart returns: none is written.
      assert.deepEqual(r.lines.filter((l) => !l.startsWith('#maps')), []);
    });
  });
}

// The kernel's driver stays off the controller while the library drives it,
// as on a Pi.
const withoutKernelDriver = async (fn) => {
  rmmod('i2c_bcm2835');
  try { return await fn(); } finally { modprobe('i2c-bcm2835'); }
};

if (MODE === 'bcm2835') {
  describe('bcm2835 flavour through /dev/mem on the controller as the datasheet describes it', () => {

    beforeEach(loadFrames);

    test('start-up, the frames as statuses, a command at the bridge', async () => {
      const r = await withoutKernelDriver(() => runScenario(RUN(COMMAND), { flavour: 'real', timeout: 90000 }));
      show('start-up lines (bcm2835)', r.lines.slice(0, r.lines.indexOf('#frames')).join('\n'));
      show('delivered statuses (bcm2835)', r.result.got.map(({ keys, ...s }) => s));
      assertRun(r, LIBRARY_CLOCK, MSG.CMD_SENT, COMMAND_FRAME);
    });

    test('a parameter at the bridge', async () => {
      const r = await withoutKernelDriver(() => runScenario(RUN(PARAMETER), { flavour: 'real', timeout: 90000 }));
      assertRun(r, LIBRARY_CLOCK, MSG.PARAM_WRITTEN, PARAMETER_FRAME);
    });
  });
}

// ------------------------------------------------- the bridge model, both flavours

const hex = (text) => Buffer.from(text.replace(/ /g, ''), 'hex');
// The worked frames of the QEL module's commands and parameters.
const WORKED = [
  ['sendCommand(5)', '30 00 00 04 E0 00 00 08 05 00 00 00 00 00 00 00 F1'],
  ['sendCommand(44, 0, 0)', '30 00 00 04 E0 00 00 08 2C 06 00 00 00 00 00 00 E2'],
  ['sendCommand(-1, 1, 1, 1, 42)', '30 00 00 04 E0 00 00 08 00 1B 2A 00 00 00 00 00 CF'],
  ['writeParameter(3, Buffer.from([1, 2]))', '30 00 00 05 60 00 00 08 03 01 02 00 00 00 00 00 73'],
  ['writeParameter(255, Buffer.alloc(7, 0xff))', '30 00 00 05 60 00 00 08 FF FF FF FF FF FF FF FF 9B'],
];
const HEARTBEAT = hex('30 00 00 07 60 00 00 01 00 00 00 00 00 00 00 00 68');
const NO_ERRORS = { count: 0, list: [] };

// The child's side of the model, and a capture of every frame read, empty
// polls left out.
const CHILD = `
  const { model } = require('./test/pi/bridge-model');
  const captured = [];
  qel.capture((b) => {
    for (let i = 0; i < b.count; i++) if (b.length[i] !== 0xff) captured.push([b.id[i], [...b.data.subarray(8 * i, 8 * i + 8)], !!b.checksumError[i]]);
  });
  const modelUntil = async (fn) => { const end = Date.now() + 120000; while (!fn()) { if (Date.now() > end) throw new Error('model: ' + fn); await wait(100); } };
`;
const asCaptured = (f) => [f[2] * 256 + f[3], [...f.subarray(7, 15)], f[15] !== checksumOf(f)];
const checksumOf = (f) => checksum(f.subarray(0, 15));

function bridgeTests(flavour, clockLine, around) {
  const run = (body, opts = {}) => around(() => runScenario(CHILD + body, { flavour, timeout: 180000, ...opts }));

  test('start-up: the bit rate right at once, right on the second try, wrong twice', async () => {
    const outcome = async (answers) => {
      model.reset();
      model.baud(answers);
      const r = await around(() => spawnScenario(`qel.registerCallback(() => {});
        try { qel.driverStart(${SETTINGS.join(', ')}, undefined, undefined, undefined); } catch (e) { done(e.message); return; }
        await wait(300); done('started');`, { flavour, timeout: 60000 }));
      return { lines: r.lines, result: r.result, errors: model.errors() };
    };
    const once = await outcome([]);
    const second = await outcome([0x0e]);
    const never = await outcome([0x0e, 0x0e]);
    show(`bit rate (${flavour}): right at once`, once.lines.join('\n'));
    show(`bit rate (${flavour}): right on the second try`, second.lines.slice(-3).join('\n'));
    show(`bit rate (${flavour}): wrong twice`, never.lines.slice(-1).concat(never.result).join('\n'));
    assert.deepEqual(once.lines, started(clockLine));
    assert.deepEqual(second.lines, [...bringUp(clockLine), MSG.SELECT_OK, MSG.HB_DISABLED]);
    assert.deepEqual(never.lines, [...bringUp(clockLine), format(MSG.BAUD_FAILED, 0x0e)]);
    assert.deepEqual([once.result, second.result, never.result], ['started', 'started', MSG.START_FAILED]);
    for (const o of [once, second, never]) assert.deepEqual(o.errors, NO_ERRORS);
  });

  test('the worked commands and parameters arrive byte for byte, one transfer each, between heartbeats at their period; a refused one replays none', async () => {
    model.reset();
    const PERIOD_US = 300000;
    const r = await run(`
      qel.registerCallback(() => {});
      // Polls far apart: what comes right after the last frame is a write.
      qel.driverStart(0, 10000000, ${PERIOD_US}, 60000, undefined, undefined, undefined);
      const sent = [];
      const take = () => { for (const s of model.sent()) sent.push([s.at, s.bytes.toString('hex')]); return sent; };
      ${WORKED.map(([call]) => `qel.${call};`).join('\n')}
      // The refusal falls on the command, or on a heartbeat that came first.
      model.nack();
      let refused = false;
      try { qel.sendCommand(6); } catch { refused = true; }
      await modelUntil(() => take().filter(([, b]) => b === '${HEARTBEAT.subarray(1).toString('hex')}').length >= 5);
      done({ sent, errors: model.errors(), refused });`);
    const { sent, errors } = r.result;
    const frames = sent.map(([at, b]) => [at, Buffer.concat([Buffer.from([0x30]), Buffer.from(b, 'hex')])]);
    const beats = frames.filter(([, b]) => b.equals(HEARTBEAT)).map(([at]) => at);
    const others = frames.filter(([, b]) => !b.equals(HEARTBEAT)).map(([, b]) => b.toString('hex'));
    show(`frames at the bridge (${flavour}), virtual ns and bytes`, frames.map(([at, b]) => `${at} ${b.toString('hex')}`).join('\n'));
    assert.deepEqual(errors, NO_ERRORS, 'every transfer one the bridge understands');
    const last = r.result.refused ? [] : [transmitFrame(0x04, 0xe0, [6]).toString('hex')];
    assert.deepEqual(others, [...WORKED.map(([, bytes]) => hex(bytes).toString('hex')), ...last], 'the worked frames, in order, once each');
    assert.ok(beats.length >= 5);
    beats.slice(1).forEach((at, i) => assert.ok(at - beats[i] >= PERIOD_US * 1000, `heartbeat ${i + 1} ${at - beats[i]} ns after the one before`));
    assert.deepEqual(r.lines.filter((l) => l === MSG.CMD_SENT || l === MSG.PARAM_WRITTEN), [MSG.CMD_SENT, MSG.CMD_SENT, MSG.CMD_SENT, MSG.PARAM_WRITTEN, MSG.PARAM_WRITTEN]);
  });

  test('stopped and started again: the bus let go each time, the process as before, the frames of each run delivered', async () => {
    model.reset();
    const r = await run(`
      const fs = require('fs');
      const fds = () => fs.readdirSync('/proc/self/fd').length;
      const got = [];
      qel.registerCallback((s) => got.push(s.msg_data[0]));
      const start = () => qel.driverStart(0, 20000, -1, 60000, undefined, undefined, undefined);
      start();
      qel.driverStop();
      model.errors();  // the model's serial port, opened at its first request
      const before = fds();
      for (let i = 1; i <= 3; i++) {
        start();
        model.queue([frame(0x4a1, [i])]);
        await until(() => got.length === i, 60000);
        qel.driverStop();
      }
      done({ got, before, after: fds(), errors: model.errors() });`);
    assert.deepEqual(r.result.got, [1, 2, 3]);
    assert.equal(r.result.after, r.result.before, 'the device (or /dev/mem) closed at each stop');
    assert.deepEqual(r.result.errors, NO_ERRORS);
  });

  test('open() in a worker, then in the main thread once the worker ended: each gets its frame and closes', async () => {
    model.reset();
    const r = await around(() => runScenario(`
      const { Worker } = require('worker_threads');
      const { model } = require('./test/pi/bridge-model');
      const entry = ${JSON.stringify(flavour === 'real' ? '/index.js' : '/i2c-dev.js')};
      const first = async (bus) => { for await (const s of bus) { await bus.close(); return s.msg_data[0]; } };
      model.queue([frame(0x4a1, [7])]);
      const inWorker = await new Promise((resolve) => {
        const w = new Worker(\`
          const { parentPort } = require('worker_threads');
          const bus = require(\${JSON.stringify(process.cwd() + entry)}).open({ canBusDelay: 20000, heartbeat: 0 });
          (\${first})(bus).then((v) => parentPort.postMessage(v), (e) => parentPort.postMessage(e.code));\`, { eval: true });
        let answer;
        w.once('message', (m) => { answer = m; });
        w.once('exit', () => resolve(answer));  // the driver is free once the worker has ended
      });
      model.queue([frame(0x4a1, [8])]);
      const inMain = await first(qel.open({ canBusDelay: 20000, heartbeat: 0 }));
      done({ inWorker, inMain, errors: model.errors() });`, { flavour, timeout: 180000 }));
    assert.deepEqual(r.result, { inWorker: 7, inMain: 8, errors: NO_ERRORS });
  });

  test('traffic fed at a rate: every frame read once and in order, the statistics as fed', async () => {
    model.reset();
    const fed = [];
    for (let i = 0; i < 120; i++) {
      if (i % 10 === 3) fed.push(frame(0x4a1, [i], { badChecksum: true }));
      else if (i % 10 === 5) fed.push(frame(0x123, [i]));
      else if (i % 10 === 7) fed.push(empty());
      else fed.push(frame(0x4a1, [i, 0x5a]));
    }
    // The first frame comes cut short: from byte 8 on the bus reads 0xFF.
    model.cut(8);
    const cut = Buffer.concat([fed[0].subarray(0, 8), Buffer.alloc(8, 0xff)]);
    model.feed(40, fed);
    const r = await run(`
      qel.registerCallback(() => {});
      qel.driverStart(0, 5000, -1, 60000, undefined, undefined, undefined);
      await modelUntil(() => captured.length >= ${fed.length - 12});
      const before = model.stats();
      const stats = qel.readStatus(0x4a1).driver_stats;
      done({ captured, stats, before, after: model.stats(), counter: qel.readStatus(0x4a1).counter });`);
    const { captured, stats, before, after } = r.result;
    const expected = [cut, ...fed.slice(1)].filter((f) => f[6] !== 0xff).map(asCaptured);
    show(`traffic at 40 frames a virtual second (${flavour})`, { stats, bridge: after });
    assert.deepEqual(captured, expected, 'every frame once, in order');
    assert.equal(stats.err, fed.filter((f, i) => i === 0 || f[15] !== checksumOf(f)).length);
    assert.equal(stats.unk, fed.filter((f) => f[3] === 0x23).length);
    const fedEmpty = fed.filter((f) => f[6] === 0xff).length;
    assert.ok(stats.empty >= fedEmpty + before.empty - 1 && stats.empty <= fedEmpty + after.empty, `empty ${stats.empty}: ${fedEmpty} fed, the bridge's own ${before.empty}-${after.empty}`);
    assert.deepEqual(model.errors(), NO_ERRORS);
  });

  test('unplugged for two seconds while polling and back with no register selected: failed reads, a refused command, the bridge set up again, nothing twice', async () => {
    model.reset();
    model.queue([frame(0x4a1, [1]), frame(0x4a1, [2])]);
    const r = await run(`
      qel.registerCallback(() => {});
      qel.driverStart(0, 20000, -1, 60000, undefined, undefined, true);
      await until(() => captured.length >= 2, 60000);
      const counters = [qel.readStatus(0x4a1).driver_stats];
      model.unplug(2000);
      model.powerReset();
      model.queue([${[3, 4].map((d) => `frame(0x4a1, [${d}])`).join(', ')}]);
      let refused;
      try { qel.sendCommand(5); } catch (e) { refused = [e.constructor.name, e.message, e.code]; }
      await modelUntil(() => model.stats().resumed > 0);
      await until(() => captured.length >= 4, 60000);
      counters.push(qel.readStatus(0x4a1).driver_stats);
      done({ captured, counters, refused, timeline: model.stats(), sent: model.sent().length, errors: model.errors() });`);
    const { captured, counters, refused, timeline } = r.result;
    const failed = r.lines.filter((l) => l.startsWith(MSG.READ_FAILED.split('%')[0]));
    show(`unplugged (${flavour}): timeline of the bridge, virtual ns`, timeline);
    show(`unplugged (${flavour}): counters before and after`, counters);
    show(`unplugged (${flavour}): failed reads, command`, { lines: failed.length, first: failed[0], refused });
    assert.deepEqual(captured.map(([id, data]) => [id, data[0]]), [[0x4a1, 1], [0x4a1, 2], [0x4a1, 3], [0x4a1, 4]], 'nothing twice, nothing lost');
    assert.deepEqual(refused, ['TypeError', MSG.SEND_FAILED, 'QEL_SEND_FAILED']);
    assert.ok(r.lines.includes(MSG.SEND_FAILED));
    assert.equal(counters[0].err, 0);
    assert.equal(counters[1].err, timeline.nacked - 1, 'every refused read counted, the refused command not');
    assert.deepEqual(new Set(failed), new Set([format(MSG.READ_FAILED, 1)]));
    assert.equal(failed.length, counters[1].err);
    assert.ok(timeline.first_nack > 0 && timeline.last_nack >= timeline.first_nack && timeline.resumed > timeline.last_nack, 'refused, then answered again');
    assert.equal(r.result.sent, 0, 'the refused command never reached the bridge');
    assert.deepEqual(r.result.errors, NO_ERRORS, 'no read before the receive register was selected again');
    const setUp = r.lines.filter((l) => l === MSG.BRIDGE_LOST || l.startsWith(MSG.BRIDGE_SET_UP_AGAIN.split('%')[0]));
    assert.deepEqual(setUp, [MSG.BRIDGE_LOST, format(MSG.BRIDGE_SET_UP_AGAIN, counters[1].err)]);
  });
}

if (MODE === 'kernel') {
  describe('the bridge model with the kernel I2C flavour', () => {
    before(deviceFilesForGroup);
    bridgeTests('i2c-dev', KERNEL_CLOCK, (fn) => fn());

    test('a refused address and a refused data byte: the real driver\'s EREMOTEIO, and the same lines and error as the emulation\'s', async () => {
      const refusal = (args) => {
        try { sh('i2ctransfer', '-y', '1', ...args); return 'accepted'; } catch (e) { return String(e.stderr).trim(); }
      };
      model.reset();
      model.nack();
      const address = refusal(['w1@0x25', '0x40']);
      const { first_nack: first } = model.stats();
      model.nackByte(1);
      // The transmit register, then a refused byte: no known write is left.
      const data = refusal(['w3@0x25', '0x30', '0x00', '0x00']);
      const { last_nack: last, nacked } = model.stats();
      // The refused transfer is over: the next START goes to its own address.
      const elsewhere = refusal(['w1@0x26', '0x00']);
      show('i2ctransfer against a refusing bridge', [address, data, elsewhere].join('\n'));
      assert.deepEqual([address, data, elsewhere], Array(3).fill('i2ctransfer: I2C_RDWR: Remote I/O error'));
      assert.deepEqual(model.errors(), NO_ERRORS, 'injected refusals are no protocol errors');
      assert.deepEqual(model.sent(), [], 'the refused frame was not transmitted');
      assert.ok(last > first && nacked === 2, `the refused byte is a refusal in time: ${first}, ${last}, ${nacked}`);
      // A read and a command refused once each, on the kernel and on the emulation.
      const body = (refuseRead, refuseWrite) => `
        const { model } = require('./test/pi/bridge-model');
        qel.registerCallback(() => {});
        qel.driverStart(0, 20000, -1, 60000, undefined, undefined, true);
        ${refuseRead};
        await until(() => qel.readStatus(0x4a1).driver_stats.err >= 1, 60000);
        ${refuseWrite};
        let refused;
        try { qel.sendCommand(5); } catch (e) { refused = [e.constructor.name, e.message, e.code]; }
        // Two valid polls: the bridge was set up again before them.
        const empty = () => qel.readStatus(0x4a1).driver_stats.empty;
        const e0 = empty();
        await until(() => empty() >= e0 + 2, 60000);
        done({ refused, err: qel.readStatus(0x4a1).driver_stats.err });`;
      model.reset();
      // Only a write has data bytes: the refused byte cannot fall on a poll.
      const real = await runScenario(body('model.nack()', 'model.nackByte(1)'), { flavour: 'i2c-dev', timeout: 60000 });
      assert.deepEqual(model.errors(), NO_ERRORS, 'the refused command byte is no protocol error');
      const sim = await runScenario(body('bridge.failReads(1, 1)', 'bridge.failWrites(1, 1)'), { flavour: 'sim', env: { QEL_SIM_BUS: 'i2c-dev' } });
      // The set-up after the refused read comes a poll or two later, before or after the command.
      const setUp = [MSG.BRIDGE_LOST, format(MSG.BRIDGE_SET_UP_AGAIN, 1)];
      for (const lines of [real.lines, sim.lines]) assert.deepEqual(lines.filter((l) => setUp.includes(l)), setUp);
      const noisy = (l) => !l.startsWith('QEL Driver -- Log file') && !l.startsWith(MSG.LOG_OPEN_FAILED) && l !== KERNEL_CLOCK && !l.startsWith('QEL Driver -- I2C clock') && !setUp.includes(l);
      show('refused once each: kernel, emulation', { kernel: real.lines.filter(noisy).slice(5), emulation: sim.lines.filter(noisy).slice(5) });
      assert.deepEqual(real.result, sim.result);
      assert.deepEqual(real.lines.filter(noisy), sim.lines.filter(noisy));
    });
  });
}

if (MODE === 'kernel') {
  test('the model\'s control channel: a line of 8 KiB or more is refused at its newline, and the next request is answered', () => {
    model.reset();
    const frames = Array.from({ length: 249 }, (_, i) => Buffer.from(frame(0x4a1, [i])).toString('hex'));
    assert.throws(() => model.request(`queue ${frames.join(' ')}`), { message: /: error line too long$/ });
    model.queue(frames.slice(0, 2).map((h) => Buffer.from(h, 'hex')));
    assert.equal(model.stats().queued, 2);
  });
}

if (MODE === 'bcm2835') {
  describe('the bridge model with the bcm2835 flavour', () => {
    bridgeTests('real', LIBRARY_CLOCK, withoutKernelDriver);
  });
}

if (MODE === 'pi5') {
  test('bcm2835 flavour on a device tree whose model is a Raspberry Pi 5: refused before any register is touched', async () => {
    const model = fs.readFileSync(MODEL, 'utf8').replace(/\0$/, '');
    assert.equal(model, 'Raspberry Pi 5 Model B Rev 1.0');
    assert.deepEqual(await failedStart('real'), [format(MSG.BOARD_UNSUPPORTED, model)]);
  });
}

// The file each flavour's add-on is loaded from.
const addonFile = (name) => (ARMV6
  ? `${process.cwd()}/prebuilds/linux-arm/${require('../../lib/prebuilds').fileName(name, process.versions.modules, 6)}`
  : `${process.cwd()}/build/Release/${name}.node`);

if (MODE === 'kernel' || MODE === 'bcm2835') {
  test(`each flavour loads ${ARMV6 ? 'the package\'s ARMv6 prebuilt add-on' : 'the board\'s own build'}`, async () => {
    const loaded = {};
    for (const [flavour, name] of [['real', 'qel'], ['i2c-dev', 'qel_i2cdev'], ['sim', 'qel_sim']]) {
      const r = await runScenario(`done([...new Set(require('fs').readFileSync('/proc/self/maps', 'utf8').split('\\n')
        .map((l) => l.split(/\\s+/)[5]).filter((f) => f && f.endsWith('.node')))]);`, { flavour });
      loaded[name] = r.result;
    }
    show('add-ons loaded', loaded);
    assert.deepEqual(loaded, { qel: [addonFile('qel')], qel_i2cdev: [addonFile('qel_i2cdev')], qel_sim: [addonFile('qel_sim')] });
  });
}

if (!['kernel', 'bcm2835', 'stock', 'pi5'].includes(MODE)) {
  test('a known mode', () => assert.fail(`QEL_PI_MODE is '${MODE}': kernel, bcm2835, stock or pi5`));
}
