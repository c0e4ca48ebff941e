'use strict';
// Ending a process whose receive thread is busy writing the debug log: the
// process must neither crash nor hang, and the file must hold the header and
// whole message lines only, however and whenever the process ends. And a
// standard output that nobody reads, which must hold up neither the bus nor
// the end of the process.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { execFileSync } = require('child_process');
const { runNode, scenarioSource, spawnScenario, withLogLock, root, TIME_FACTOR } = require('../helpers/scenario');
const { MSG } = require('../helpers/catalogue');

const logPath = require(path.join(root, 'sim')).bridge.logPath;

const HEADER = [
  'QEL Driver Log File',
  'Version: 1.0.1',
  'I2C Delay Cycle: 0us',
  'CAN BUS Delay Cycle: 0us',
  'HEARTBIT Delay Cycle: 5000us',
  'DEBOUNCING: 300ms',
];
const DATE_LINE = /^Current Date and Time: (Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) ( [1-9]|[12]\d|3[01]) \d{2}:\d{2}:\d{2} \d{4}$/;
// Every line of the flood: identifier 0x4a1 with its eight bytes.
const FLOOD_LINE = /^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}: MsgID = 0x4a1, data = 01, 02, 03, 04, 05, 06, 07, 08, timestamp = [1-9]\d*$/;

// The child floods the driver with an event identifier, so that every cycle
// writes a log line and delivers a status, and tells the parent its pid once
// lines are being written. It ends itself in the modes 'exit' (process.exit
// from a timer) and 'callback' (process.exit inside the registered function);
// in the signal modes the parent ends it.
function body({ mode, delay, deliveries, pidFile }) {
  return `
    const fs = require('fs');
    let delivered = 0;
    let exitAt = Infinity;
    qel.registerCallback(() => {
      delivered++;
      if (delivered >= exitAt) process.exit(0);
    });
    qel.driverStart(0, 0, 5000, 300, undefined, undefined, true);
    bridge.receive(frame(0x4a1, [1, 2, 3, 4, 5, 6, 7, 8]), 1e6);
    await until(() => fs.statSync(bridge.logPath).size > 400);
    if (${JSON.stringify(mode)} === 'exit') setTimeout(() => process.exit(0), ${delay});
    if (${JSON.stringify(mode)} === 'callback') exitAt = delivered + ${deliveries};
    fs.writeFileSync(${JSON.stringify(pidFile)}, String(process.pid));
  `;
}

async function runOnce(plan) {
  return withLogLock(async () => {
    const running = spawnScenario(body(plan), { timeout: 15000 });
    if (plan.mode.startsWith('SIG')) {
      const deadline = Date.now() + 10000 * TIME_FACTOR;
      while (!fs.existsSync(plan.pidFile) || fs.readFileSync(plan.pidFile, 'utf8') === '') {
        if (Date.now() > deadline) break;
        await new Promise((r) => setTimeout(r, 5));
      }
      await new Promise((r) => setTimeout(r, plan.delay));
      try { process.kill(Number(fs.readFileSync(plan.pidFile, 'utf8')), plan.mode); } catch { /* gone already */ }
    }
    const r = await running;
    return { ...r, log: fs.readFileSync(logPath, 'utf8') };
  });
}

const PAGE = Number(require('child_process').execFileSync('getconf', ['PAGESIZE'], { encoding: 'utf8' }));

function checkLog(log, what, killed) {
  // A fatal signal stops a write to a regular file between two pages of the
  // file, which no writer can prevent: a line that straddles a page boundary
  // may be cut there, and only there.
  if (killed && !log.endsWith('\n') && Buffer.byteLength(log) % PAGE === 0) log = log.slice(0, log.lastIndexOf('\n') + 1);
  assert.ok(log.endsWith('\n'), `${what}: the file ends with a whole line; it ends with ${JSON.stringify(log.slice(-120))}`);
  const lines = log.slice(0, -1).split('\n');
  assert.deepEqual(lines.slice(0, 6), HEADER, `${what}: header`);
  assert.match(lines[6] || '', DATE_LINE, `${what}: line 7`);
  const messages = lines.slice(7);
  assert.ok(messages.length > 0, `${what}: lines were written before the end`);
  messages.forEach((line, i) => {
    assert.match(line, FLOOD_LINE, `${what}: message line ${i + 1} of ${messages.length} is whole`);
  });
  return messages.length;
}

test('a flooded, logging driver ended at random moments leaves a whole file and does not crash', async () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'qel-log-exit-'));
  const modes = ['exit', 'SIGTERM', 'callback', 'SIGINT'];
  const runs = 32;
  const seen = [];
  try {
    for (let i = 0; i < runs; i++) {
      const plan = {
        mode: modes[i % modes.length],
        delay: Math.floor(Math.random() * 250),
        deliveries: 1 + Math.floor(Math.random() * 5000),
        pidFile: path.join(dir, `pid-${i}`),
      };
      const what = `run ${i + 1} (${JSON.stringify({ mode: plan.mode, delay: plan.delay, deliveries: plan.deliveries })})`;
      const r = await runOnce(plan);
      if (plan.mode.startsWith('SIG')) {
        assert.equal(r.signal, plan.mode, `${what}: ended by the signal sent, exit ${r.code} ${r.signal}\n${r.stderr}`);
      } else {
        assert.equal(r.code, 0, `${what}: process.exit(0) ends with 0, got exit ${r.code} ${r.signal}\n${r.stderr}`);
      }
      assert.equal(r.stderr, '', `${what}: nothing on standard error`);
      seen.push(checkLog(r.log, what, plan.mode.startsWith('SIG')));
    }
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
  assert.equal(seen.length, runs);
});

// The child's standard output is a FIFO that the parent holds open but does
// not read, like a pipe whose reader stalled. In debug mode the receive loop
// has a line to print in every cycle (failed reads, then a debounced frame
// repeated), so the FIFO is full at once. The child reports on standard
// error and ends itself.
const STALLED = `
  const beats = () => bridge.writes().filter((w) => w.bytes.length === 17 && w.bytes[3] === 0x07).length;
  qel.registerCallback(() => {});
  qel.driverStart(0, 0, 5000, 300, undefined, undefined, true);
  bridge.failReads(100, 2);
  bridge.receive(frame(0x2c0, [1]), 1e9);
  // The failed reads take a millisecond each before the frames come.
  await until(() => qel.readStatus(0x2c0).counter > 0);
  await wait(300);
  const before = beats();
  const counter = qel.readStatus(0x2c0).counter;
  qel.simulate(simBytes(0x3a1, [1]));
  qel.sendCommand(1);
  await wait(100);
  require('fs').writeSync(2, JSON.stringify({ before, after: beats(), counter }) + '\\n');
  await wait(300);
  process.exit(0);
`;

for (const readAgain of [false, true]) {
  test(`stdout nobody reads: the heartbeat goes on, the calls return, the process ends${readAgain ? '; read again, the lost lines are counted' : ''}`, async () => {
    const fifo = path.join(os.tmpdir(), `qel-stalled-${process.pid}-${readAgain}`);
    execFileSync('mkfifo', [fifo]);
    const held = fs.openSync(fifo, 'r+');
    const reader = fs.openSync(fifo, fs.constants.O_RDONLY | fs.constants.O_NONBLOCK);
    let text = '';
    const drain = () => {
      const chunk = Buffer.alloc(65536);
      for (let n; (n = fs.readSync(reader, chunk)) > 0;) text += chunk.toString('latin1', 0, n);
    };
    const drainLater = () => { try { drain(); } catch (e) { if (e.code !== 'EAGAIN') throw e; } };
    let reading = null;
    let reportedAt = 0;
    try {
      const r = await withLogLock(() => runNode(['-e', scenarioSource(STALLED)], {
        timeout: 20000,
        stdout: held,
        onStderr: (err) => {
          if (!reportedAt && err.includes('}')) reportedAt = Date.now();
          if (readAgain && !reading && err.includes('}')) reading = setInterval(drainLater, 5);
        },
      }));
      const exitMs = Date.now() - reportedAt;
      clearInterval(reading);
      drainLater();
      assert.equal(r.code, 0, `the child ends by itself: ${r.signal}\n${r.stderr}`);
      assert.ok(exitMs < 5000 * TIME_FACTOR, `300 ms, then process.exit waits about a second at most: ${exitMs} ms`);
      const seen = JSON.parse(r.stderr.slice(0, r.stderr.indexOf('}') + 1));
      assert.ok(seen.after > seen.before, `heartbeat frames went on: ${JSON.stringify(seen)}`);
      assert.ok(seen.counter > 0);
      assert.ok(text.endsWith('\n') && text.length > 32768, `the FIFO filled up: ${text.length} bytes`);
      const lines = text.slice(0, -1).split('\n');
      for (const line of lines) assert.match(line, /^QEL Driver -- (?:(?!QEL Driver).)*$/, 'whole lines only');
      const dropped = new RegExp(`^${MSG.CONSOLE_DROPPED.replace('%llu', '[1-9]\\d*')}$`);
      assert.equal(lines.some((l) => dropped.test(l)), readAgain, 'the count of lost lines comes once output flows');
    } finally {
      fs.closeSync(held);
      fs.closeSync(reader);
      fs.unlinkSync(fifo);
    }
  });
}
