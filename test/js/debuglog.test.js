'use strict';
// The debug log file of the sim flavour (bridge.logPath) read back line by
// line, and the receive loop's console lines in debug mode and without it.
// Every scenario that starts the driver in debug mode, or that looks at the
// log file, holds the log lock (debugLog: true).
const { describe, test } = require('node:test');
const assert = require('node:assert/strict');
const { msg, MSG, KERNEL, VERSION } = require('../helpers/catalogue');
const { runScenario } = require('../helpers/scenario');
const { frame } = require('../helpers/frames');
const fs = require('fs');

// A message line: UTC date and time of writing to the millisecond, the
// identifier in lower-case hex without leading zeros, two-digit bytes each
// followed by ", ", and the reception time in decimal.
const LINE = /^(\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2})\.(\d{3}): MsgID = 0x(0|[1-9a-f][0-9a-f]*), data = ((?:[0-9a-f]{2}, )*)timestamp = (0|[1-9]\d*)$/;

function parseLine(text) {
  const m = LINE.exec(text);
  assert.ok(m, `not a message line: ${JSON.stringify(text)}`);
  const [, y, mo, d, h, mi, s, ms] = m.slice(0, 8).map(Number);
  const written = Date.UTC(y, mo - 1, d, h, mi, s, ms);
  // A field out of range (month 13, second 61) would not survive the round trip.
  assert.equal(new Date(written).toISOString().replace('T', ' ').slice(0, 23), text.slice(0, 23), text);
  return { written, id: parseInt(m[8], 16), bytes: m[9], t: m[10] };
}

const WEEKDAYS = ['Sun', 'Mon', 'Tue', 'Wed', 'Thu', 'Fri', 'Sat'];
const MONTHS = ['Jan', 'Feb', 'Mar', 'Apr', 'May', 'Jun', 'Jul', 'Aug', 'Sep', 'Oct', 'Nov', 'Dec'];
const two = (n) => String(n).padStart(2, '0');
// The ctime text of a whole second, for a zone `offsetHours` east of UTC.
function ctimeText(seconds, offsetHours) {
  const d = new Date((seconds + offsetHours * 3600) * 1000);
  return `${WEEKDAYS[d.getUTCDay()]} ${MONTHS[d.getUTCMonth()]} ${String(d.getUTCDate()).padStart(2, ' ')} ` +
    `${two(d.getUTCHours())}:${two(d.getUTCMinutes())}:${two(d.getUTCSeconds())} ${d.getUTCFullYear()}`;
}

// Header lines 1-6 as start-up writes them.
const header = (i2c, can, hb, deb) => [
  'QEL Driver Log File',
  `Version: ${VERSION}`,
  `I2C Delay Cycle: ${i2c}us`,
  `CAN BUS Delay Cycle: ${can}us`,
  `HEARTBIT Delay Cycle: ${hb}us`,
  `DEBOUNCING: ${deb}ms`,
];
const headerText = (...settings) => header(...settings).map((l) => `${l}\n`).join('');

// Checks line 7: the local time (offsetHours east of UTC) of a second within
// [fromMs, toMs].
function assertDateLine(text, fromMs, toMs, offsetHours) {
  assert.match(text, /^Current Date and Time: (Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) ( [1-9]|[12]\d|3[01]) \d{2}:\d{2}:\d{2} \d{4}$/);
  const candidates = [];
  for (let s = Math.floor(fromMs / 1000); s <= Math.floor(toMs / 1000); s++) {
    candidates.push(`Current Date and Time: ${ctimeText(s, offsetHours)}`);
  }
  assert.ok(candidates.includes(text), `${JSON.stringify(text)} is none of ${JSON.stringify(candidates)}`);
}

const hex2 = (bytes) => bytes.map((b) => `${b.toString(16).padStart(2, '0')}, `).join('');

// Shared by the children: `settle` returns once the bridge has handed over
// every queued frame and the receive loop has finished its cycle.
const CHILD = `
const U = undefined;
const fs = require('fs');
const got = [];
qel.registerCallback((s) => got.push({ id: s.msg_id, ts: s.timestamp, counter: s.counter }));
async function settle() {
  await until(() => bridge.pending() === 0);
  const r = bridge.reads();
  await until(() => bridge.reads() >= r + 2);
}
const readLog = () => fs.readFileSync(bridge.logPath, 'utf8');
// The log is written by a thread of its own, soon after the frame: the file
// once it holds at least that many lines.
async function logOf(count) {
  await until(() => readLog().split('\\n').length > count);
  return readLog();
}
`;

// The debug-only console texts, up to their first conversion.
const DEBUG_ONLY = ['READ_FAILED', 'CHECKSUM_ERROR', 'DEBOUNCING', 'RECEIVED_PREFIX', 'RECEIVED_SUFFIX',
  'DEBUG_ENABLED', 'LOG_FILE', 'LOG_OPEN_FAILED', 'HB_FAILED', 'CMD_DUMP', 'PARAM_DUMP']
  .map((name) => MSG[name].replace(/^\n/, '').split('%')[0]);

// The frames of the main scenario, in order: what each one is, the data
// part of its log line (null: no line), and whether it is reported.
const STEPS = [
  { what: 'cyclic, first frame', f: [0x1a1, [1, 2, 3]], line: '01, 02, 03, ', report: true },
  { what: 'cyclic, unchanged', f: [0x1a1, [1, 2, 3]], line: '01, 02, 03, ', report: false },
  { what: 'debounced, first', f: [0x2c0, [1]], line: '01, ', report: true, pair: true },
  { what: 'debounced, repeated at once', f: [0x2c0, [1]], line: '01, ', report: false },
  { what: 'wrong checksum', f: [0x1a1, [1, 2, 4], { badChecksum: true }], line: null },
  { what: 'disabled 0x421', f: [0x421, [1]], line: null },
  { what: 'heartbeat range', f: [0x765, [1]], line: null },
  { what: 'not in the map', f: [0x123, [1]], line: null },
  { what: '0xfff', f: [0xfff, [1]], line: null },
  { what: '0xffe', f: [0xffe, [1]], line: null },
  { what: '0xffd', f: [0xffd, [1]], line: null },
  { what: 'length code 0xff', f: [0x4a1, [1], { len: 0xff }], line: null },
  { what: 'length code 0', f: [0x4a1, [0xaa, 0xbb], { len: 0 }], line: '', report: true },
  { what: 'length code 8', f: [0x4a1, [0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88]], line: '11, 22, 33, 44, 55, 66, 77, 88, ', report: true },
  { what: 'length code 3', f: [0x4a1, [0x05, 0xff, 0x0a, 4, 5, 6, 7, 8], { len: 3 }], line: '05, ff, 0a, ', report: true },
  { what: 'length code 200', f: [0x4a1, [0xde, 0xad, 0xbe, 0xef, 1, 2, 3, 4], { len: 200 }], line: 'de, ad, be, ef, 01, 02, 03, 04, ', report: true },
  { what: 'simulated', sim: [0x3a1, [9, 8, 7]], line: '09, 08, 07, ', report: true },
  { what: 'failed bus read', failRead: 2, line: null },
  { what: 'first frame after the failed read', f: [0x2a2, [0x0f]], line: '0f, ', report: true },
];

describe('debug log file', { concurrency: 4 }, () => {
  test('header, line 7 with the first message, one strict line per accepted frame, console dumps', async () => {
    const r = await runScenario(`${CHILD}
      // Three hours east of UTC: line 7 is local time, message lines are UTC.
      process.env.TZ = 'ABC-3';
      const steps = ${JSON.stringify(STEPS)};
      const startMs = Date.now();
      qel.driverStart(0, 1000, -1, 5000, U, U, true);
      const startedMs = Date.now();
      await settle();
      const idle = readLog();
      const snapshots = [];
      for (let i = 0; i < steps.length; i++) {
        const s = steps[i];
        if (s.f) {
          bridge.receive(frame(...s.f));
          // A debounced repeat goes with its first frame, so it arrives well
          // within the window.
          if (s.pair) { bridge.receive(frame(...steps[i + 1].f)); i++; }
        } else if (s.sim) {
          qel.simulate(simBytes(...s.sim));
        } else if (s.failRead) {
          bridge.failReads(1, s.failRead);
        }
        const want = steps.slice(0, i + 1).filter((x) => x.report).length;
        await settle();
        await until(() => got.length === want);
        if (i === 0) snapshots.push(await logOf(8));
      }
      const log = await logOf(7 + steps.filter((s) => s.line !== null).length);
      await wait(20);
      done({ idle, first: snapshots[0], log, got, startMs, startedMs, endMs: Date.now() });
    `, { debugLog: true });
    const { idle, first, log, got, startMs, startedMs, endMs } = r.result;

    assert.equal(idle, headerText(0, 1000, -1, 5000), 'before the first message the file holds lines 1-6 only');
    const firstLines = first.split('\n');
    assert.equal(firstLines.length, 9, `line 7 arrives with the first message line:\n${first}`);
    assert.equal(firstLines[8], '');

    assert.ok(log.endsWith('\n') && !log.includes('\r'), 'lines end with a single line feed');
    const lines = log.slice(0, -1).split('\n');
    assert.deepEqual(lines.slice(0, 6), header(0, 1000, -1, 5000));
    assertDateLine(lines[6], startMs, startedMs, 3);

    const expected = STEPS.filter((s) => s.line !== null);
    const messages = lines.slice(7);
    assert.equal(messages.length, expected.length,
      `one line per accepted frame (${expected.map((s) => s.what).join('; ')}):\n${messages.join('\n')}`);
    const reported = [];
    let previousT = 0;
    messages.forEach((text, k) => {
      const step = expected[k];
      const p = parseLine(text);
      const id = step.f ? step.f[0] : step.sim[0];
      assert.equal(p.id, id, `${step.what}: ${text}`);
      assert.equal(p.bytes, step.line, `${step.what}: ${text}`);
      const t = Number(p.t);
      assert.ok(t >= startMs && t <= endMs, `${step.what}: reception time ${t} within the run [${startMs}, ${endMs}]`);
      assert.ok(t >= previousT, 'reception times never go back');
      previousT = t;
      assert.ok(p.written >= t && p.written <= t + 2000,
        `${step.what}: written at ${p.written}, not before its reception ${t} and soon after`);
      if (step.report) reported.push({ id, t: p.t });
    });
    assert.deepEqual(got.map((g) => ({ id: g.id, t: g.ts })), reported,
      'the timestamp delivered for each reported frame is the reception time of its line');

    // The receive loop's console lines in debug mode.
    const out = r.lines;
    const dumps = out.filter((l) => l.startsWith(MSG.RECEIVED_PREFIX.split('%')[0]));
    assert.equal(dumps.length, reported.length, 'one dump per reported frame');
    const cs = (f) => f[15];
    const f1 = frame(0x1a1, [1, 2, 3]);
    const [dump1, dump2] = (msg('RECEIVED_PREFIX', 0x1a1) + [1, 2, 3, 0, 0, 0, 0, 0].map((b) => msg('RECEIVED_BYTE', b)).join('') +
      msg('RECEIVED_SUFFIX', cs(f1), cs(f1), 1, got[0].ts, 0)).split('\n');
    assert.equal(dump1, 'QEL Driver -- received message with ID = 0x1a1, data =  1  2  3  0  0  0  0  0 ');
    assert.equal(dump2, `QEL Driver -- Checksum = ${cs(f1).toString(16)}, calculated checksum = ${cs(f1).toString(16)}, counter =1, timestamp = ${got[0].ts}, status changed = 0`);
    const at = out.indexOf(dump1);
    assert.ok(at >= 0, `dump of the first frame missing:\n${out.join('\n')}`);
    assert.equal(out[at + 1], dump2, 'the dump is two lines, one after the other');
    const f2 = frame(0x2c0, [1]);
    const at2 = out.indexOf(msg('RECEIVED_PREFIX', 0x2c0) + [1, 0, 0, 0, 0, 0, 0, 0].map((b) => msg('RECEIVED_BYTE', b)).join(''));
    assert.ok(at2 >= 0, 'dump of the debounced frame');
    assert.equal(out[at2 + 1], msg('RECEIVED_SUFFIX', cs(f2), cs(f2), 1, got[1].ts, 6).slice(1));
    const atSim = out.indexOf(msg('RECEIVED_PREFIX', 0x3a1) + [9, 8, 7, 0, 0, 0, 0, 0].map((b) => msg('RECEIVED_BYTE', b)).join(''));
    assert.ok(atSim >= 0, 'dump of the simulated frame');
    assert.match(out[atSim + 1], /^QEL Driver -- Checksum = [0-9a-f]+, calculated checksum = [0-9a-f]+, counter =1, timestamp = \d+, status changed = 2$/);

    const bad = frame(0x1a1, [1, 2, 4], { badChecksum: true });
    const good = frame(0x1a1, [1, 2, 4]);
    for (const line of [
      msg('DEBOUNCING', 0x2c0, 1),
      'QEL Driver -- message ID = 0x2c0, data = 1, debouncing',
      msg('CHECKSUM_ERROR', bad[15], good[15]),
      `QEL Driver -- Checksum error, received = ${bad[15].toString(16)}, calculated = ${good[15].toString(16)}`,
      msg('SIMULATING'),
      msg('READ_FAILED', 2),
      `QEL Driver -- Error reading the I2C bus, error code = 0x${KERNEL ? 4 : 2}`,  // the kernel reports CLKT as EIO
      msg('DEBUG_ENABLED'),
    ]) {
      assert.equal(out.filter((l) => l === line).length, 1, `${line}\n--- output\n${out.join('\n')}`);
    }
    assert.ok(!out.includes(msg('LOG_OPEN_FAILED')));
    assert.ok(out.indexOf(msg('SIMULATING')) < atSim, 'the simulated frame is announced before its dump');
  });

  test('default settings; an existing file is emptied, begins with the new header, is not inherited, survives a rotation', async () => {
    const r = await runScenario(`${CHILD}
      fs.writeFileSync(bridge.logPath, 'an earlier run\\n'.repeat(5000));
      qel.driverStart(U, U, U, U, U, U, true);
      await settle();
      const idle = readLog();
      bridge.receive(frame(0x4a1, [0x42]));
      await settle();
      await until(() => got.length === 1);
      const log = await logOf(8);
      const childFds = require('child_process').execFileSync('sh', ['-c', 'ls -l /proc/$$/fd'], { encoding: 'utf8' });
      // A rotation that empties the file in place (copytruncate).
      fs.truncateSync(bridge.logPath, 0);
      bridge.receive(frame(0x4a1, [0x43]));
      await until(() => got.length === 2);
      done({ idle, log, got, childFds, rotated: await logOf(1), logPath: bridge.logPath });
    `, { debugLog: true });
    assert.ok(!r.result.childFds.includes(r.result.logPath), `a child process inherits no log descriptor:\n${r.result.childFds}`);
    const rotated = parseLine(r.result.rotated.slice(0, -1));
    assert.deepEqual([rotated.bytes, rotated.t], ['43, ', r.result.got[1].ts], 'the next line starts the emptied file');
    assert.equal(r.result.idle, headerText(50000, 20000, 500000, 2000));
    const lines = r.result.log.split('\n');
    assert.equal(lines.length, 9, r.result.log);
    assert.deepEqual(lines.slice(0, 6), header(50000, 20000, 500000, 2000));
    assert.match(lines[6], /^Current Date and Time: /);
    const p = parseLine(lines[7]);
    assert.deepEqual([p.id, p.bytes, p.t], [0x4a1, '42, ', r.result.got[0].ts]);
    assert.equal(lines[8], '');
    assert.ok(r.lines.includes(msg('DEBUG_MODE', 1)));
    // The path of the file, whole, on the line after the announcement.
    assert.equal(r.lines[r.lines.indexOf(msg('DEBUG_ENABLED')) + 1], `QEL Driver -- Log file: ${r.result.logPath}`);
  });

  test('a start after a failed start opens the file once, with the settings of the start that worked', async () => {
    const r = await runScenario(`${CHILD}
      fs.writeFileSync(bridge.logPath, 'left over\\n');
      bridge.baudReadback([0x0e, 0x0e]);
      let thrown = null;
      try { qel.driverStart(0, 1000, -1, 300, U, U, true); } catch (e) { thrown = e.message; }
      const afterFailure = readLog();
      qel.driverStart(0, 2000, -1, 400, U, U, true);
      bridge.receive(frame(0x4a1, [1, 2]));
      await settle();
      await until(() => got.length === 1);
      done({ thrown, afterFailure, log: await logOf(8) });
    `, { debugLog: true });
    assert.equal(r.result.thrown, msg('START_FAILED'));
    assert.equal(r.result.afterFailure, 'left over\n', 'a start that fails before the log is opened leaves the file alone');
    assert.ok(r.lines.includes(msg('BAUD_FAILED', 0x0e)));
    assert.equal(r.lines.filter((l) => l === msg('DEBUG_ENABLED')).length, 1);
    const lines = r.result.log.split('\n');
    assert.deepEqual(lines.slice(0, 6), header(0, 2000, -1, 400));
    assert.equal(lines.filter((l) => l === 'QEL Driver Log File').length, 1, 'one header only');
    assert.equal(lines.length, 9, r.result.log);
    assert.equal(parseLine(lines[7]).bytes, '01, 02, ');
  });

  test('log path that is a symbolic link: refused with its reason, the file it points to untouched, frames still delivered', async () => {
    // Root must not empty whatever file a link planted in a writable
    // directory points to.
    const r = await runScenario(`${CHILD}
      const target = require('path').join(require('os').tmpdir(), 'qel-link-target-' + process.pid);
      fs.writeFileSync(target, 'not the log\\n');
      fs.rmSync(bridge.logPath, { force: true });
      fs.symlinkSync(target, bridge.logPath);
      try {
        qel.driverStart(0, 1000, -1, 300, U, U, true);
      } finally {
        fs.unlinkSync(bridge.logPath);
      }
      bridge.receive(frame(0x4a1, [7]));
      bridge.receive(frame(0x2a1, [8]));
      qel.simulate(simBytes(0x3a1, [9]));
      await settle();
      await until(() => got.length === 3);
      await wait(20);
      const text = fs.readFileSync(target, 'utf8');
      fs.unlinkSync(target);
      done({ got: got.map((g) => g.id), logExists: fs.existsSync(bridge.logPath), text, logPath: bridge.logPath });
    `, { debugLog: true });
    const out = r.lines;
    const at = out.indexOf(msg('DEBUG_ENABLED'));
    assert.ok(at >= 0, out.join('\n'));
    assert.deepEqual(out.slice(at + 1, at + 4), [msg('LOG_FILE', r.result.logPath), 'QEL Driver -- Error opening log file',
      `QEL Driver -- Log file ${r.result.logPath}: a symbolic link, which is not followed`], 'the failure and its reason follow the announcement');
    assert.equal(out.filter((l) => l === msg('LOG_OPEN_FAILED')).length, 1, 'lines discarded without further messages');
    assert.deepEqual(r.result.got.sort((a, b) => a - b), [0x2a1, 0x3a1, 0x4a1], 'driverStart succeeded and frames are delivered');
    assert.equal(r.result.logExists, false, 'nothing reaches a file once the opening failed');
    assert.equal(r.result.text, 'not the log\n');
  });

  test('log path that is a FIFO: start-up does not wait for a reader, refuses it with its reason, runs without a log', async (t) => {
    // A start-up that blocks in the opening is killed before it removes the FIFO.
    const logPath = require('../../sim').bridge.logPath;
    t.after(() => { if (fs.lstatSync(logPath, { throwIfNoEntry: false })?.isFIFO()) fs.unlinkSync(logPath); });
    const r = await runScenario(`${CHILD}
      fs.rmSync(bridge.logPath, { force: true });
      require('child_process').execFileSync('mkfifo', [bridge.logPath]);
      try {
        qel.driverStart(0, 1000, -1, 300, U, U, true);
      } finally {
        fs.unlinkSync(bridge.logPath);
      }
      bridge.receive(frame(0x4a1, [7]));
      await until(() => got.length === 1);
      done({ logPath: bridge.logPath });
    `, { debugLog: true, timeout: 10000 });
    const at = r.lines.indexOf(msg('LOG_OPEN_FAILED'));
    assert.deepEqual(r.lines.slice(at, at + 2), [msg('LOG_OPEN_FAILED'), msg('LOG_OPEN_REASON', r.result.logPath, MSG.LOG_REASON_NOT_REGULAR)]);
  });

  describe('debug mode off', () => {
    const FRAMES = `
      bridge.receive(frame(0x1a1, [1]));
      bridge.receive(frame(0x2c0, [1]));
      bridge.receive(frame(0x2c0, [1]));
      bridge.receive(frame(0x1a1, [2], { badChecksum: true }));
      await settle();
      bridge.failReads(1, 2);
      await settle();
      qel.simulate(simBytes(0x4a1, [3]));
      await until(() => got.length === 3);
      await settle();
    `;

    test('an existing log file keeps its content and time; no debug-only console line', async () => {
      const r = await runScenario(`${CHILD}
        fs.writeFileSync(bridge.logPath, 'kept as it is\\n');
        const old = new Date('2001-02-03T04:05:06Z');
        fs.utimesSync(bridge.logPath, old, old);
        qel.driverStart(0, 1000, 10000, 300, U, U, false);
        ${FRAMES}
        bridge.failWrites(1, 3);
        await until(() => bridge.writes().some((w) => w.code === 3));
        qel.sendCommand(1);
        qel.writeParameter(1, Buffer.from([1]));
        const st = fs.statSync(bridge.logPath);
        done({ text: readLog(), mtime: st.mtimeMs, old: old.getTime(), got: got.map((g) => g.id) });
      `, { debugLog: true });
      assert.equal(r.result.text, 'kept as it is\n');
      assert.equal(r.result.mtime, r.result.old);
      assert.deepEqual(r.result.got.sort((a, b) => a - b), [0x1a1, 0x2c0, 0x4a1]);
      const out = r.lines;
      assert.ok(out.includes(msg('DEBUG_MODE', 0)));
      assert.equal(out.filter((l) => l === msg('SIMULATING')).length, 1, 'the simulated frame is announced in every mode');
      assert.ok(out.includes(msg('CMD_SENT')) && out.includes(msg('PARAM_WRITTEN')));
      for (const text of DEBUG_ONLY) {
        assert.ok(!out.some((l) => l.includes(text)), `debug-only "${text}" printed with debug mode off:\n${out.join('\n')}`);
      }
    });

    test('no file is created', async () => {
      const r = await runScenario(`${CHILD}
        fs.rmSync(bridge.logPath, { force: true });
        qel.driverStart(0, 1000, -1, 300, U, U, U);
        ${FRAMES}
        done({ exists: fs.existsSync(bridge.logPath), got: got.map((g) => g.id) });
      `, { debugLog: true });
      assert.equal(r.result.exists, false);
      assert.deepEqual(r.result.got.sort((a, b) => a - b), [0x1a1, 0x2c0, 0x4a1]);
      for (const text of DEBUG_ONLY) assert.ok(!r.lines.some((l) => l.includes(text)), text);
    });
  });
});
