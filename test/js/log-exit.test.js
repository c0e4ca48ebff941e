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
const { runNode, runScenario, scenarioSource, spawnScenario, withLogLock, nodeCommand, root, TIME_FACTOR } = require('../helpers/scenario');
const { MSG, msg, VERSION } = require('../helpers/catalogue');

const logPath = require(path.join(root, 'sim')).bridge.logPath;

const HEADER = [
  'QEL Driver Log File',
  `Version: ${VERSION}`,
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
  // A stop with the output stalled returns too, and the log it closes
  // ends on a whole line.
  qel.driverStop();
  const log = require('fs').readFileSync(bridge.logPath, 'latin1');
  require('fs').writeSync(2, JSON.stringify({ before, after: beats(), counter, logEnd: log.endsWith('\\n') }) + '\\n');
  // A reader that reads again gets what the stream holds, then the exit
  // writes the count of the lines dropped; a stalled one gets nothing.
  const end = Date.now() + 300 * TIME_FACTOR;
  while (process.stdout.writableLength > 0 && Date.now() < end) await wait(10);
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
      assert.ok(seen.logEnd, 'the stopped driver\'s log ends on a whole line');
      assert.ok(text.length > 32768, `the FIFO filled up: ${text.length} bytes`);
      // The stream holds what the FIFO did not take and loses it at the
      // exit, as it loses the application's own: only a line that the exit
      // cut can be torn, and nothing is glued to it.
      const lines = text.split('\n').slice(0, -1);
      for (const line of lines) assert.match(line, /^QEL Driver -- (?:(?!QEL Driver).)*$/, 'whole lines only');
      const dropped = new RegExp(`^${MSG.CONSOLE_DROPPED.replace('%llu', '[1-9]\\d*')}$`);
      if (readAgain) assert.ok(lines.some((l) => dropped.test(l)), 'the lost lines are counted where they are missing');
    } finally {
      fs.closeSync(held);
      fs.closeSync(reader);
      fs.unlinkSync(fifo);
    }
  });
}

// A reader that takes standard output slowly but steadily (a serial console,
// a slow ssh session: 8 KiB/s) while the debug lines come faster. The
// application's event loop, and a driver function that prints nothing,
// never wait for the driver threads' lines: those that the reader cannot
// take are dropped and counted. Frames of 0x4a1 and 0x2c0 take turns; the
// function dwells on each 0x4a1 for longer than two frames take, so that
// the 0x2c0 delivered next in the same wake-up has changed meanwhile, and
// prints a line about each 0x2c0: a
// receive line of the driver's is never written after the application's
// line about that frame, and a function's own lines never come before the
// application's earlier lines.
const SLOW_READER = `
  let last = Date.now();
  let maxGap = 0;
  let maxCall = 0;
  const tick = setInterval(() => {
    const now = Date.now();
    maxGap = Math.max(maxGap, now - last);
    qel.readStatus(0x4a1);
    last = Date.now();
    maxCall = Math.max(maxCall, last - now);
  }, 5);
  let delivered = 0;
  qel.registerCallback((s) => {
    delivered++;
    const t = Date.now();
    if (s.msg_id === 0x4a1) while (Date.now() - t < 25);
    else console.log('#cb ' + s.msg_data[0].toString(16) + ' ' + s.msg_data[1].toString(16));
  });
  qel.driverStart(0, 5000, 0, 300, undefined, undefined, true);
  for (let i = 0; i < 1200; i++) bridge.receive(frame(i % 2 ? 0x2c0 : 0x4a1, [i & 0xff, i >> 8]));
  await until(() => bridge.pending() === 0, 30000);
  await wait(200);
  clearInterval(tick);
  for (let i = 0; i < 60; i++) console.log('#app ' + i + ' ' + 'x'.repeat(200));
  qel.sendCommand(1);
  require('fs').writeSync(2, JSON.stringify({ delivered, maxGap, maxCall }) + '\\n');
  // What the stream holds reaches the reader, which now reads at full
  // speed, before the exit, and the count of the lines dropped with it.
  await until(() => process.stdout.writableLength === 0, 60000);
  process.exit(0);
`;

test('stdout read slowly but steadily: the event loop and the calls never wait for the threads\' lines, which are dropped and counted, never reordered', async () => {
  const fifo = path.join(os.tmpdir(), `qel-slow-${process.pid}`);
  execFileSync('mkfifo', [fifo]);
  const held = fs.openSync(fifo, 'r+');
  const reader = fs.openSync(fifo, fs.constants.O_RDONLY | fs.constants.O_NONBLOCK);
  const chunks = [];
  const take = (max) => {
    const chunk = Buffer.alloc(max);
    try {
      const n = fs.readSync(reader, chunk);
      if (n > 0) chunks.push(chunk.subarray(0, n));
      return n;
    } catch (e) {
      if (e.code !== 'EAGAIN') throw e;
      return 0;
    }
  };
  let steady = setInterval(() => take(410), 50);
  const fast = () => { clearInterval(steady); steady = setInterval(() => { while (take(65536) > 0); }, 5); };
  try {
    const r = await withLogLock(() => runNode(['-e', scenarioSource(SLOW_READER)], {
      timeout: 90000, stdout: held, onStderr: (err) => { if (err.includes('}')) fast(); } }));
    clearInterval(steady);
    while (take(65536) > 0);
    assert.equal(r.code, 0, `the child ends by itself: ${r.signal}\n${r.stderr}`);
    const seen = JSON.parse(r.stderr.slice(0, r.stderr.indexOf('}') + 1));
    assert.ok(seen.maxGap < 1500 * TIME_FACTOR && seen.maxCall < 1000 * TIME_FACTOR,
      `the event loop went on, readStatus returned at once; longest pause ${seen.maxGap} ms, call ${seen.maxCall} ms (${seen.delivered} deliveries)`);
    const lines = Buffer.concat(chunks).toString('latin1').split('\n').slice(0, -1);
    const dropped = new RegExp(`^${MSG.CONSOLE_DROPPED.replace('%llu', '[1-9]\\d*')}$`);
    assert.ok(lines.some((l) => dropped.test(l)), 'the lines the reader could not take are counted');
    const apps = lines.map((l, i) => [l, i]).filter(([l]) => l.startsWith('#app '));
    assert.deepEqual(apps.map(([l]) => l), Array.from({ length: 60 }, (_, i) => `#app ${i} ${'x'.repeat(200)}`), 'every application line whole');
    assert.ok(lines.indexOf(msg('CMD_TFT', 1)) > apps[59][1] && lines.indexOf(msg('CMD_SENT')) > apps[59][1],
      'the command\'s lines come after the application\'s earlier lines');
    const received = (a, b) => `QEL Driver -- received message with ID = 0x2c0, data = ${a.padStart(2)} ${b.padStart(2)}  0  0  0  0  0  0 `;
    const marks = lines.map((l, i) => [l, i]).filter(([l]) => l.startsWith('#cb '));
    assert.ok(marks.length > 0, 'the application\'s own lines are there');
    const late = marks.filter(([mark, at]) => lines.indexOf(received(...mark.split(' ').slice(1))) > at);
    assert.deepEqual(late.map(([mark]) => mark), [], 'the driver\'s line about a frame comes before the application\'s, or not at all');
  } finally {
    clearInterval(steady);
    fs.closeSync(held);
    fs.closeSync(reader);
    fs.unlinkSync(fifo);
  }
});

// Standard output a terminal that nobody reads (a paused ssh session):
// the terminal's stream would wait for it, so the threads' lines go to it
// without waiting and are dropped once it is full; a function that prints
// nothing returns at once all the same. The child reports to a file, as
// its standard error is the terminal too.
test('stdout a terminal nobody reads: readStatus returns at once while the debug lines flood', { skip: !fs.existsSync('/usr/bin/script') && 'needs script(1) for a terminal' }, async () => {
  const { spawn } = require('child_process');
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'qel-tty-'));
  const fifo = path.join(dir, 'out');
  execFileSync('mkfifo', [fifo]);
  const held = fs.openSync(fifo, 'r+');
  const report = path.join(dir, 'report.json');
  fs.writeFileSync(path.join(dir, 'child.js'), scenarioSource(`
    qel.registerCallback(() => {});
    qel.driverStart(0, 1000, 0, 300, undefined, undefined, true);
    bridge.receive(frame(0x4a1, [1]), 1e6);
    let maxCall = 0;
    for (let calls = 0; calls < 200; calls++) {
      await wait(10);
      const at = Date.now();
      qel.readStatus(0x4a1);
      maxCall = Math.max(maxCall, Date.now() - at);
    }
    require('fs').writeFileSync(${JSON.stringify(report)}, JSON.stringify({ maxCall, pending: bridge.pending() }));
    process.exit(0);
  `));
  const node = nodeCommand();
  const child = spawn('script', ['-qec', `${[node.file, ...node.args].join(' ')} child.js`, '/dev/null'], { cwd: dir, stdio: ['ignore', held, 'ignore'], detached: true });
  try {
    const deadline = Date.now() + 60000 * TIME_FACTOR;
    while (!fs.existsSync(report) && Date.now() < deadline) await new Promise((r) => setTimeout(r, 50));
    const seen = JSON.parse(fs.readFileSync(report, 'utf8'));
    assert.ok(seen.maxCall < 1000 * TIME_FACTOR, `the longest readStatus took ${seen.maxCall} ms`);
    assert.ok(seen.pending < 1e6, 'the flood was polled meanwhile');
  } finally {
    try { process.kill(-child.pid, 'SIGKILL'); } catch { /* ended */ }
    fs.closeSync(held);
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

// The debug log on a file system that fills up and frees again: the lines
// that met the full disk are counted and reported, and the file holds whole
// lines only, none glued to a half one.
test('a log on a full file system: lost lines are counted, the file holds whole lines only', { skip: process.getuid() !== 0 && 'mounts a small file system of its own: needs root' }, async () => {
  const dir = path.dirname(logPath);
  const r = await runScenario(`
    const fs = require('fs');
    qel.registerCallback(() => {});
    qel.driverStart(0, 0, 5000, 300, undefined, undefined, true);
    // A flood that outlasts the test on any machine; reset() ends it.
    const flood = () => bridge.receive(frame(0x4a1, [1, 2, 3, 4, 5, 6, 7, 8]), 1e9);
    flood();
    await until(() => fs.statSync(bridge.logPath).size > 2000);
    // The flood pauses while the file system is filled, so that the room
    // freed later is the filler's, not taken by the log before.
    bridge.reset();
    await wait(100 * TIME_FACTOR);
    const filler = fs.openSync(${JSON.stringify(dir)} + '/filler', 'w');
    for (const size of [4096, 1]) {
      try { for (;;) fs.writeSync(filler, Buffer.alloc(size)); } catch (e) { if (e.code !== 'ENOSPC') throw e; }
    }
    flood();
    await wait(300 * TIME_FACTOR);
    const full = fs.statSync(bridge.logPath).size;
    fs.closeSync(filler);
    fs.unlinkSync(${JSON.stringify(dir)} + '/filler');
    await until(() => fs.statSync(bridge.logPath).size > full + 2000);
    // The flood may fill the file system again: stopped, the writer ends
    // on a whole line.
    bridge.reset();
    await wait(200 * TIME_FACTOR);
    done({ log: fs.readFileSync(bridge.logPath, 'latin1') });
  `, { debugLog: true, prefix: ['unshare', '-m', 'sh', '-c', `mount -t tmpfs -o size=1m tmpfs '${dir}' && exec "$0" "$@"`] });
  checkLog(r.result.log, 'the log after the full file system', false);
  // A tmpfs takes the part of a line that fits its last page: no reason
  // to tell the failure again, nor the count before a line got in whole.
  const told = r.lines.filter((l) => l === msg('LOG_OPEN_REASON', logPath, 'No space left on device'));
  const said = r.lines.filter((l) => /[Ll]og file|dropped|lost/.test(l)).join('\n');
  assert.equal(told.length, 1, `the failure is told once:\n${said}`);
  const lost = new RegExp(`^${MSG.LOG_LOST.replace('%llu', '[1-9]\\d*').replace('%s', 'No space left on device')}$`);
  assert.equal(r.lines.filter((l) => lost.test(l)).length, 1, `the lost lines are counted once the file takes lines again:\n${said}`);
});
