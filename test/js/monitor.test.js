'use strict';
// qel-monitor, run as a command: line output on the simulated traffic,
// replay of a candump capture, option errors, the refusal to touch a
// machine that is not a Raspberry Pi, and the live table on a terminal.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawn, spawnSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { msg, VERSION } = require('../helpers/catalogue');
const { root, nodeCommand, runNode, TIME_FACTOR } = require('../helpers/scenario');
const { realDriverProblem, kernelDriverProblem } = require('../../lib/monitor/platform');
const { OPTIONS } = require('../../lib/monitor/options');
const { HEADER } = require('../../lib/monitor/screen');
const candump = require('../../lib/monitor/candump');

const monitorJs = path.join(root, 'bin', 'qel-monitor.js');

// The documented line format of a delivered status object, and the end line.
const STATUS_LINE = /^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z) id=0x([0-9a-f]+) class=(cyclic|debounced|event) counter=(-?\d+) data=([0-9a-f]{16}) ts=(\d+) hb=(\d+) unk=(\d+) empty=(\d+) err=(\d+)$/;
const END_LINE = /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z end reports=(\d+) hb=(\d+) unk=(\d+) empty=(\d+) err=(\d+)$/;

function parseStatus(line) {
  const m = STATUS_LINE.exec(line);
  if (!m) return null;
  return {
    time: m[1], id: parseInt(m[2], 16), cls: m[3], counter: Number(m[4]), data: m[5], ts: Number(m[6]),
    stats: { hb: Number(m[7]), unk: Number(m[8]), empty: Number(m[9]), err: Number(m[10]) },
  };
}

function monitor(args, { timeout = 20000, node = [], prefix, env } = {}) {
  return runNode([...node, monitorJs, ...args], { timeout, prefix, env });
}

// A directory of the test's own, removed after it; with `files`, a file
// in it for each name and text.
function tempDir(t, files = {}) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'qel-monitor-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  for (const [name, text] of Object.entries(files)) fs.writeFileSync(path.join(dir, name), text);
  return dir;
}

// n log lines of 0x123 (no slot's identifier), `us` microseconds apart.
const logLines = (n, us) => Array.from({ length: n }, (_, i) => `(${1700000000 + Math.floor((i * us) / 1e6)}.${String((i * us) % 1e6).padStart(6, '0')}) can0 123#0102030405060708\n`).join('');

// Every line on stdout is the driver's, a status line or the end line.
function sortLines(r) {
  const driver = [];
  const statuses = [];
  const ends = [];
  const other = [];
  for (const line of r.lines) {
    if (line.startsWith('QEL Driver -- ')) driver.push(line);
    else if (STATUS_LINE.test(line)) statuses.push(parseStatus(line));
    else if (END_LINE.test(line)) ends.push(line);
    else other.push(line);
  }
  return { driver, statuses, ends, other };
}

test('--sim --lines --duration 2: parseable lines for every class, moving statistics, then it stops', async () => {
  const r = await monitor(['--sim', '--lines', '--duration', '2']);
  assert.equal(r.code, 0, r.stderr);
  assert.equal(r.stderr, '');
  assert.ok(r.ms >= 2000, `ran ${r.ms} ms`);
  const { driver, statuses, ends, other } = sortLines(r);
  assert.deepEqual(other, [], 'no line of another form');
  assert.equal(driver[0], msg('STARTING', 0, 5000, 500000, 2000), 'sim defaults: i2c 0, poll 5000 us');
  assert.equal(ends.length, 1);
  assert.match(r.lines[r.lines.length - 1], END_LINE, 'the end line comes last');

  const classes = new Set(statuses.map((s) => s.cls));
  assert.deepEqual([...classes].sort(), ['cyclic', 'debounced', 'event']);
  const expectedClass = (id) => ([0x1a1, 0x3a1].includes(id) ? 'cyclic' : id >> 8 === 2 ? 'debounced' : 'event');
  const byId = new Map();
  let previous = null;
  for (const s of statuses) {
    assert.equal(s.cls, expectedClass(s.id), `class of 0x${s.id.toString(16)}`);
    assert.ok([0x1a1, 0x2a1, 0x3a1, 0x4a1, 0x2a2, 0x2c0, 0x2c1, 0x2c4, 0x2c5, 0x2c8, 0x2c9].includes(s.id),
      `0x${s.id.toString(16)} is an enabled slot`);
    assert.match(String(s.ts), /^\d{13}$/);
    if (previous) for (const k of ['hb', 'unk', 'empty', 'err']) assert.ok(s.stats[k] >= previous.stats[k], `${k} never goes back`);
    previous = s;
    const list = byId.get(s.id) || [];
    list.push(s);
    byId.set(s.id, list);
  }
  for (const [id, list] of byId) {
    for (let i = 1; i < list.length; i++) {
      const [a, b] = [list[i - 1], list[i]];
      assert.ok(b.counter > a.counter, `counter of 0x${id.toString(16)} grows`);
      // A cyclic slot is reported only when its data change; a debounced one
      // within the window only when bytes 0-2 change.
      if (a.cls === 'cyclic') assert.notEqual(b.data, a.data);
      if (a.cls === 'debounced' && b.ts - a.ts <= 2000) assert.notEqual(b.data.slice(0, 6), a.data.slice(0, 6));
    }
  }
  const end = END_LINE.exec(ends[0]).slice(1).map(Number);
  assert.equal(end[0], statuses.length, 'reports= counts the status lines');
  const [hb, unk, empty, err] = end.slice(1);
  assert.ok(hb > 0 && unk > 0 && empty > 0 && err > 0, `every statistic moved: ${ends[0]}`);
});

test('--replay: frames delivered in the order and pace of the capture, malformed lines reported by number', async () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'qel-replay-'));
  const file = path.join(dir, 'capture.log');
  // Five event slots (no cyclic identifiers): each of their frames is reported.
  const ids = [0x4a1, 0x1a1, 0x3a1, 0x421, 0x4e0];
  const lines = [];
  const paced = [];
  const t0 = 1700000000;
  const stamp = (ms) => `(${t0 + Math.floor(ms / 1000)}.${String((ms % 1000) * 1000).padStart(6, '0')})`;
  // Frames of one slot come 5 steps apart: a stall of the monitor's main
  // thread, which both feeds and reports them, must last that long to merge
  // two. An emulated processor, which stalls longer, gets longer steps.
  const step = 20 * TIME_FACTOR;
  for (let i = 0; i < 20; i++) {
    const id = ids[i % ids.length];
    const data = [i, 0xa0 + i, id & 0xff, 0x55].slice(0, 1 + (i % 4));
    paced.push({ id, data: Buffer.from(data).toString('hex').padEnd(16, '0') });
    lines.push(`${stamp(i * step)} can0 ${id.toString(16).toUpperCase().padStart(3, '0')}#${Buffer.from(data).toString('hex').toUpperCase()}`);
  }
  // Then a burst: fourteen frames stamped alike; the bridge queues them all.
  const burst = [];
  for (let i = 0; i < 14; i++) {
    const id = ids[i % ids.length];
    burst.push({ id, data: Buffer.from([0xb0 + i]).toString('hex').padEnd(16, '0') });
    lines.push(`${stamp(19 * step + 200)} vcan0 ${id.toString(16)}#${(0xb0 + i).toString(16)}`);
  }
  lines.splice(6, 0, 'this is no frame');                             // line 7
  lines.splice(10, 0, '');                                             // line 11, blank: ignored
  lines.splice(13, 0, `${stamp(130)} can0 12345678#0102`);              // line 14
  lines.splice(16, 0, `${stamp(150)} can0 4A1#R8`);                     // line 17
  lines.splice(19, 0, `${stamp(170)} can0 4A1#123`);                    // line 20
  lines.splice(21, 0, `${stamp(180)} can0 20000080#0000000000000000`);  // line 22
  fs.writeFileSync(file, `${lines.join('\n')}\n`);
  try {
    const r = await monitor(['--replay', file, '--cyclic', '', '--enable', '1a1,3a1,421,4a1,4e0']);
    assert.equal(r.code, 0, r.stderr);
    const skipped = r.stderr.split('\n').filter((l) => l !== '');
    assert.equal(skipped.length, 6, r.stderr);
    assert.match(skipped[0], new RegExp(`^qel-monitor: ${file.replace(/[.*+?^${}()|[\]\\/]/g, '\\$&')} line 7: not a candump log line`));
    assert.match(skipped[1], / line 14: extended \(29-bit\) identifier/);
    assert.match(skipped[2], / line 17: remote frame/);
    assert.match(skipped[3], / line 20: the data must be 0 to 8 bytes/);
    assert.match(skipped[4], / line 22: error frame/);
    assert.equal(skipped[5], 'qel-monitor: replay of capture.log: 34 lines accepted, 5 skipped ' +
      '(not a frame: 1, extended identifier: 1, remote frame: 1, bad data: 1, error frame: 1)');
    // Polls fast enough for the densest 100 ms, the burst: 50000 / 14 us.
    assert.equal(r.lines[0], msg('STARTING', 0, 3571, 500000, 2000));

    const { statuses, other } = sortLines(r);
    assert.deepEqual(other, []);
    for (const s of statuses) assert.equal(s.cls, 'event');
    // Each report is the frame its counter names. A stall of the monitor's
    // main thread longer than 5 steps (a loaded, emulated machine) merges two
    // frames of a slot into the later one, as its counter shows; without
    // one, every paced frame is reported, in order.
    const frames = [...paced, ...burst];
    const named = (s) => frames.filter((f) => f.id === s.id)[s.counter - 1];
    const head = statuses.filter((s) => s.counter <= paced.filter((f) => f.id === s.id).length);
    const brief = (s) => ({ id: s.id, data: s.data });
    assert.deepEqual(head.map(brief), head.map(named), 'each report is the frame its counter names');
    if (head.length === paced.length) {
      assert.deepEqual(head.map(brief), paced, 'the paced frames, each reported, in order');
      // The 19 steps between the first and the last paced frame pass in the
      // replay too (all at once they would take some 20 polls of 3.6 ms).
      const span = head[paced.length - 1].ts - head[0].ts;
      assert.ok(span >= 19 * step - 50 * TIME_FACTOR && span < 19 * step + 3000 * TIME_FACTOR, `paced over ${span} ms`);
    }
    // Nothing of the burst is lost: each slot ends with its last frame and
    // a counter of all of its frames.
    for (const id of ids) {
      const last = statuses.filter((s) => s.id === id).pop();
      assert.equal(last.data, burst.filter((f) => f.id === id).pop().data);
      assert.equal(last.counter, [...paced, ...burst].filter((f) => f.id === id).length, `counter of 0x${id.toString(16)}`);
    }
    // With the capture played and delivered, the monitor stops by itself.
    assert.match(r.lines[r.lines.length - 1], END_LINE);
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

test('--record: a 2 s recording of --sim, replayed, brings the same frames and the same reports in the same order', async () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'qel-record-'));
  const [first, again] = [path.join(dir, 'first.log'), path.join(dir, 'again.log')];
  try {
    const live = await monitor(['--sim', '--lines', '--duration', '2', '--record', first, '--interface', 'can1']);
    const text = fs.readFileSync(first, 'utf8');
    const frameLines = text.split('\n').filter((l) => /^\(\d+\.\d{6}\) can1 [0-9A-F]{3}#(?:[0-9A-F]{2}){0,8}$/.test(l));
    const comments = text.split('\n').filter((l) => /^# \(\d+\.\d{6}\) can1 [0-9A-F]{3}#[0-9A-F]* checksum error$/.test(l));
    assert.equal(frameLines.length + comments.length + 1, text.split('\n').length, 'every line a frame or a comment');
    assert.ok(comments.length >= 1, 'the spoilt frame of the first second');
    assert.equal(live.stderr, `qel-monitor: recorded ${frameLines.length} frames to ${first}, ${comments.length} comment lines\n`);

    const replayed = await monitor(['--replay', first, '--lines', '--record', again]);
    assert.match(replayed.stderr, new RegExp(`replay of first\\.log: ${frameLines.length} lines accepted, ${comments.length} skipped \\(comment: ${comments.length}\\)\\n$`));
    const body = (l) => l.split(' ')[2];
    assert.deepEqual(fs.readFileSync(again, 'utf8').split('\n').filter((l) => l[0] === '(').map(body), frameLines.map(body));
    // Reports agree but for a debounced repeat, which depends on the time
    // since the last report.
    const reports = (r) => sortLines(r).statuses.filter((s, i, all) => {
      const before = all.slice(0, i).reverse().find((p) => p.id === s.id);
      return !(s.cls === 'debounced' && before && before.data.slice(0, 6) === s.data.slice(0, 6));
    }).map((s) => [s.id, s.data]);
    assert.ok(reports(live).length > 5);
    assert.deepEqual(reports(replayed), reports(live));
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

test('candump lines: every length code, identifier range, remote and error frame read back as written', () => {
  const frames = [];
  for (let len = 0; len < 16; len++) {
    const data = Buffer.from([0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88].slice(0, len));
    for (const [id, extended] of [[0x000, false], [0x7ff, false], [0x000, true], [0x1fffffff, true]]) {
      frames.push({ id, extended, len, data, remote: false, error: false }, { id, extended, len, data: Buffer.alloc(0), remote: true, error: false });
    }
  }
  frames.push({ id: 0x80, extended: true, len: 8, data: Buffer.alloc(8), remote: false, error: true });
  for (const f of frames) {
    const line = candump.format({ micros: 1700000000000042, iface: 'can0', ...f });
    assert.deepEqual(candump.parse(line), { micros: 1700000000000042, iface: 'can0', ...f }, line);
  }
  assert.deepEqual(frames.filter((f) => f.len === 12 && !f.extended).map((f) => candump.format({ micros: 42, iface: 'qel0', ...f })),
    ['(0.000042) qel0 000#1122334455667788_C', '(0.000042) qel0 000#R8_C', '(0.000042) qel0 7FF#1122334455667788_C', '(0.000042) qel0 7FF#R8_C']);
  assert.equal(candump.format({ micros: 0, iface: 'can0', ...frames.pop() }), '(0.000000) can0 20000080#0000000000000000');
});

// Captures a replay must take in its stride: each row's lines (a number:
// that many NUL bytes, a sparse run), the data of the reports (one per
// slot, so that no stall merges two), and standard error. Ten frames in
// 100 ms at most: a poll every 5000 us.
const part = (s) => Array.from({ length: 10 }, (_, i) => `(${s}.0${i}0000) can0 123#0${i}`);
const REPLAYS = [
  ['a time with ten fractional digits is read, one beyond what a number holds exactly is skipped',
    ['(1700000000.1000000000) can0 4A1#02', '(99999999999999999999.000000) can0 4A1#03'], ['02'], (f) => `qel-monitor: ${f} line 2: ` +
    'the time stamp must be whole seconds and their fraction in digits, e.g. (1700000000.123456); skipped: "(99999999999999999999.000000) can0 4A1#03"\n' +
    'qel-monitor: replay of capture.log: 1 lines accepted, 1 skipped (bad time: 1)\n'],
  ['two captures joined out of order: the step back starts the densest 100 ms afresh', [...part(1700000101), ...part(1700000000)],
    [], () => 'qel-monitor: replay of capture.log: 20 lines accepted, 0 skipped\n'],
  ['a line of 32 MB is skipped with its reason in bounded memory, the next one replayed',
    ['(1700000000.000000) can0 4A1#01', 32 << 20, '(1700000000.010000) can0 1A1#02'], ['01', '02'], (f) => `qel-monitor: ${f} line 2: ` +
    `longer than 16384 bytes, which no candump line is (a damaged or preallocated file?); skipped: ${JSON.stringify(`${'\0'.repeat(57)}...`)}\n` +
    'qel-monitor: replay of capture.log: 2 lines accepted, 1 skipped (line too long: 1)\n'],
];

for (const [name, lines, data, stderr] of REPLAYS) {
  test(`--replay: ${name}`, async (t) => {
    const file = path.join(tempDir(t), 'capture.log');
    fs.writeFileSync(file, '');
    for (const l of lines) {
      if (typeof l === 'number') fs.truncateSync(file, fs.statSync(file).size + l);
      fs.appendFileSync(file, `${typeof l === 'number' ? '' : l}\n`);
    }
    const r = await monitor(['--replay', file, '--lines'], { node: ['--max-old-space-size=16'] });
    assert.equal(r.code, 0, 'stops by itself once the replay is delivered');
    assert.equal(r.lines[0], msg('STARTING', 0, 5000, 500000, 2000));
    assert.deepEqual(sortLines(r).statuses.map((s) => s.data).sort(), data.map((d) => d.padEnd(16, '0')));
    assert.equal(r.stderr, stderr(file));
  });
}

test('--replay reads the capture as it goes: 60,000 frames in a 16 MB heap', async (t) => {
  const dir = tempDir(t, { 'large.log': logLines(60000, 1) });
  const r = await monitor(['--replay', path.join(dir, 'large.log'), '--lines'], { node: ['--max-old-space-size=16'], timeout: 60000 });
  assert.equal(r.code, 0, r.stderr.slice(0, 500));
  assert.equal(r.stderr, 'qel-monitor: replay of large.log: 60000 lines accepted, 0 skipped\n');
  assert.equal(END_LINE.exec(sortLines(r).ends[0])[3], '60000', 'every frame read: unk= counts them');
});

test('--record on a file system that fills up: one line says why, the lines go on, the file ends on a whole line, exit status 1', async (t) => {
  if (process.getuid() !== 0) return t.skip('mounting a small tmpfs needs root');
  if (spawnSync('unshare', ['-m', 'true']).status !== 0) return t.skip('no private mount namespace here (unshare -m)');
  // 3000 frames, about 135 kB to record, on 64 kB in a mount namespace of its own.
  const dir = tempDir(t, { 'capture.log': logLines(3000, 100) });
  fs.mkdirSync(path.join(dir, 'full'));
  const rec = path.join(dir, 'full', 'rec.log');
  const script = 'mount -t tmpfs -o size=64k tmpfs "$0/full" || exit 99; "$@"; s=$?; cp "$0/full/rec.log" "$0"; exit $s';
  const r = await monitor(['--replay', path.join(dir, 'capture.log'), '--lines', '--record', rec], { prefix: ['unshare', '-m', 'sh', '-c', script, dir] });
  const lines = fs.readFileSync(path.join(dir, 'rec.log'), 'utf8').split('\n');
  assert.equal(lines.pop(), '', 'the file ends on a line feed');
  for (const line of lines) assert.match(line, /^\(\d+\.\d{6}\) qel0 123#0102030405060708$/);
  assert.ok(lines.length > 1000 && lines.length < 3000, `${lines.length} lines`);
  assert.equal(r.stderr, `qel-monitor: --record: recording stopped after ${lines.length} frames: cannot write "${rec}" (ENOSPC)\n` +
    `qel-monitor: recorded ${lines.length} frames to ${rec}\nqel-monitor: replay of capture.log: 3000 lines accepted, 0 skipped\n`);
  assert.equal(END_LINE.exec(sortLines(r).ends[0])[3], '3000', 'every frame read after the recording stopped too');
  assert.equal(r.code, 1);
});

test('--replay reads candump\'s screen format with times, and refuses it without them in one line', async () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'qel-screen-'));
  const file = path.join(dir, 'screen.txt');
  const screen = ['  can0  4A1   [2]  01 02', '  can0  4A1   [0]  remote request', '  can0  4A1   [8]  11 22 33 44 55 66 77 88   \'."3DUfw.\''];
  try {
    fs.writeFileSync(file, screen.map((l, i) => `(1700000000.${i}00000)${l}`).join('\n'));
    const r = await monitor(['--replay', file, '--lines']);
    assert.deepEqual(sortLines(r).statuses.map((s) => s.data), ['0102000000000000', '1122334455667788']);
    assert.match(r.stderr, /replay of screen\.txt: 2 lines accepted, 1 skipped \(remote frame: 1\)\n$/);
    fs.writeFileSync(file, screen.join('\n'));
    const refused = await monitor(['--replay', file, '--lines']);
    assert.deepEqual([refused.code, refused.stdout], [2, '']);
    assert.match(refused.stderr, /^qel-monitor: \S+screen\.txt is in candump's screen format without times .*candump -l.*\n$/);
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

test('waits beyond 24.8 days (above what one timer holds): --duration keeps the monitor running, a replay waits out a gap', async (t) => {
  const r = await monitor(['--sim', '--lines', '--duration', '2200000'], { timeout: 1500 });
  assert.equal(r.signal, 'SIGKILL', 'still running when killed');
  assert.equal(sortLines(r).ends.length, 0);
  // 25 days between two frames: one wait, without a storm of warnings.
  const dir = tempDir(t, { 'gap.log': '(1700000000.000000) can0 4A1#01\n(1702160000.000000) can0 4A1#02\n' });
  const gap = await monitor(['--replay', path.join(dir, 'gap.log'), '--lines', '--duration', String(TIME_FACTOR)]);
  assert.equal(gap.code, 0);
  assert.deepEqual(sortLines(gap).statuses.map((s) => s.data), ['0100000000000000']);
  assert.equal(gap.stderr, 'qel-monitor: replay of gap.log: 2 lines accepted, 0 skipped\n');
});

// A fake candump, first on PATH, that keeps its arguments and runs `body`.
function fakeCandump(t, body) {
  const dir = tempDir(t);
  fs.writeFileSync(path.join(dir, 'candump'), `#!/bin/sh\necho "$@" > ${dir}/argv; echo $$ > ${dir}/pid\n${body}\n`, { mode: 0o755 });
  return { dir, env: { PATH: `${dir}${path.delimiter}${process.env.PATH}` } };
}
const LIVE = ['1A1#0102030405060708', '2C0#010000', '12345678#0102', '4A1#DB32', '20000080#0000000000000000'].map((f, i) => `(1700000000.0${i}0000) vcan0 ${f}`);
const ended = (pid) => { try { return / Z /.test(fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(')')[1].slice(0, 3)); } catch { return true; } };
// Whether the fake candump has ended, waiting for it with a generous deadline.
async function candumpEnded(fake) {
  const pid = Number(fs.readFileSync(path.join(fake.dir, 'pid'), 'utf8'));
  for (const end = Date.now() + 10000 * TIME_FACTOR; !ended(pid) && Date.now() < end;) await new Promise((res) => setTimeout(res, 20));
  return ended(pid);
}

test('--can: candump\'s frames make the lines a replay of them makes, others described and counted; candump ends with the monitor', async (t) => {
  const fake = fakeCandump(t, `printf '${LIVE.join('\\n')}\\n'; exec sleep 600`);
  const r = await monitor(['--can', 'vcan0', '--lines', '--duration', String(TIME_FACTOR)], { env: fake.env });
  assert.equal(r.code, 0, r.stderr);
  assert.equal(fs.readFileSync(path.join(fake.dir, 'argv'), 'utf8'), '-L vcan0,0:0,#FFFFFFFF\n');
  const reports = (x) => sortLines(x).statuses.map((s) => [s.id, s.cls, s.counter, s.data]);
  assert.deepEqual(reports(r), [[0x1a1, 'cyclic', 1, '0102030405060708'], [0x2c0, 'debounced', 1, '0100000000000000'], [0x4a1, 'event', 1, 'db32000000000000']]);
  fs.writeFileSync(path.join(fake.dir, 'live.log'), LIVE.join('\n'));
  assert.deepEqual(reports(r), reports(await monitor(['--replay', path.join(fake.dir, 'live.log'), '--lines'])));
  assert.equal(r.stderr, `qel-monitor: SocketCAN vcan0 line 3: extended (29-bit) identifier: the bridge carries standard identifiers only; skipped: "${LIVE[2]}"\n` +
    `qel-monitor: SocketCAN vcan0 line 5: error frame (identifier with the 0x20000000 flag): the bridge carries data frames only; skipped: "${LIVE[4]}"\n` +
    'qel-monitor: SocketCAN vcan0: 3 frames accepted, 2 skipped (extended identifier: 1, error frame: 1)\n');
  assert.ok(await candumpEnded(fake), 'candump killed');
  // A monitor killed outright (here by candump itself) takes candump with it.
  const orphan = fakeCandump(t, 'kill -KILL $PPID; exec sleep 600');
  assert.equal((await monitor(['--can', 'vcan0', '--lines'], { env: orphan.env })).signal, 'SIGKILL');
  assert.ok(await candumpEnded(orphan), 'candump ended with the monitor');
});

test('--can: without candump, when it fails at start and when it stops later, one line says why, exit status 1', async (t) => {
  const none = { PATH: process.env.PATH.split(path.delimiter).filter((d) => !fs.existsSync(path.join(d, 'candump'))).join(path.delimiter) };
  const cases = [
    [none, 'qel-monitor: --can needs candump from can-utils (sudo apt install can-utils)\n'],
    [fakeCandump(t, 'echo "SIOCGIFINDEX: No such device" >&2; exit 1').env, 'qel-monitor: --can vcan0: SIOCGIFINDEX: No such device\n'],
    [fakeCandump(t, `echo '${LIVE[3]}'; sleep 0.2; echo "read: Network is down" >&2; exit 1`).env,
      'qel-monitor: --can vcan0: candump stopped after 1 line: read: Network is down\nqel-monitor: SocketCAN vcan0: 1 frames accepted, 0 skipped\n'],
  ];
  for (const [env, stderr] of cases) {
    const r = await monitor(['--can', 'vcan0', '--lines', '--duration', '20'], { env });
    assert.deepEqual([r.code, r.stderr], [1, stderr]);
  }
});

test('bad options: one line naming the option and the expected form, exit status 2, no driver started', async (t) => {
  // candump -td: each time is the time since the previous frame.
  const delta = ['000.000000', '000.010000', '000.004000', '000.010000', '000.002000'].map((d, i) => `(${d})  can0  4A1   [1]  0${i}`);
  const dir = tempDir(t, { 'capture.log': '', 'delta.txt': delta.join('\n') });
  const loop = { ...fakeCandump(t, 'exec sleep 600').env, QEL_MIRROR: 'vcan0' };
  const capture = path.join(dir, 'capture.log');
  fs.symlinkSync(capture, path.join(dir, 'symbolic.log'));
  fs.linkSync(capture, path.join(dir, 'hard.log'));
  const cases = [
    [['--sim', '--duration', '0'], /^qel-monitor: --duration: expected a number of seconds above 0, e\.g\. --duration 5; got "0"$/],
    [['--sim', '--duration', 'soon'], /^qel-monitor: --duration: expected a number of seconds above 0.*; got "soon"$/],
    [['--sim', '--duration'], /^qel-monitor: --duration: expected a number of seconds above 0.*; got nothing$/],
    [['--sim', '--can-delay', '1.5'], /^qel-monitor: --can-delay: expected an integer number of microseconds.*; got "1\.5"$/],
    [['--sim', '--debounce', '5000000000'], /^qel-monitor: --debounce: expected an integer number of milliseconds.*; got "5000000000"$/],
    [['--sim', '--enable', '1a1,123'], /^qel-monitor: --enable: expected a comma-separated list of the driver's identifiers in hex \(1a1,2a1,3a1,421,4a1,2a2,2c0,2c1,2c4,2c5,2c8,2c9,4e0\).*; got "1a1,123"$/],
    [['--sim', '--cyclic', 'zz'], /^qel-monitor: --cyclic: expected a comma-separated list.*; got "zz"$/],
    [['--replay', path.join(os.tmpdir(), 'qel-no-such-capture.log')], /^qel-monitor: --replay: expected a readable candump log file.*; got ".*qel-no-such-capture\.log"$/],
    [['--sim', '--lines=yes'], /^qel-monitor: --lines: takes no value/],
    [['--sim', '--record', path.join(os.tmpdir(), 'no-such-dir', 'x.log')], /^qel-monitor: --record: cannot write ".*x\.log" \(ENOENT\)$/],
    [['--replay', monitorJs, '--record', monitorJs], /^qel-monitor: --record: ".*qel-monitor\.js" is the file that --replay reads; record to another file$/],
    [['--replay', capture, '--record', path.join(dir, 'symbolic.log')], /^qel-monitor: --record: ".*symbolic\.log" is the file that --replay reads/],
    [['--replay', capture, '--record', path.join(dir, 'hard.log')], /^qel-monitor: --record: ".*hard\.log" is the file that --replay reads/],
    [['--sim', '--interface', 'can 0'], /^qel-monitor: --interface: expected an interface name of 1 to 15 .*; got "can 0"$/],
    [['--can', 'vcan0/x'], /^qel-monitor: --can: expected a SocketCAN interface name of 1 to 15 .*; got "vcan0\/x"$/],
    [['--can', 'vcan0', '--replay', capture], /^qel-monitor: --can: reads a SocketCAN interface; it does not go with --sim, --replay or --i2c-dev$/],
    [['--i2c-dev', '--can', 'vcan0'], /^qel-monitor: --can: reads a SocketCAN interface; it does not go with --sim/],
    [['--sim', '--mqtt', 'mqtt://127.0.0.1:1883', '--mqtt-commands', 'lift7/commands'], /^qel-monitor: --mqtt-commands: commands need an authenticated connection: a user in the --mqtt URL and a password \(--mqtt-password-file\)$/],
    [['--sim', '--mqtt', 'http://broker'], /^qel-monitor: --mqtt: expected a broker URL beginning with mqtt:\/\/.*; got "http:\/\/broker"$/],
    [['--sim', '--mqtt', 'mqtt://li%ft@127.0.0.1:1883'], /^qel-monitor: --mqtt: the user or password in the broker URL has a % that begins no %XX escape; write a % as %25$/],
    [['--sim', '--http', '65536'], /^qel-monitor: --http: expected a port from 0 to 65535, or HOST:PORT, e\.g\. --http 8080 or --http 0\.0\.0\.0:8080; got "65536"$/],
    [['--sim', '--http', 'lift 7:80'], /^qel-monitor: --http: expected a port from 0 to 65535, or HOST:PORT.*; got "lift 7:80"$/],
    [['--sim', '--speed', '3'], /^qel-monitor: unknown option --speed \(see qel-monitor --help\)$/],
    [['--sim', 'now'], /^qel-monitor: unexpected argument "now" \(see qel-monitor --help\)$/],
    [['--replay', path.join(dir, 'delta.txt')], /^qel-monitor: \S+delta\.txt has candump's times since the previous frame \(candump -td\), .*record with candump -l/],
    [['--can', 'vcan0', '--duration', '1'], /^qel-monitor: --can vcan0: QEL_MIRROR=vcan0 would mirror what the monitor reads back onto vcan0, a loop; /, loop],
  ];
  // A few at a time: under emulation each start costs seconds of CPU.
  const results = [];
  for (let i = 0; i < cases.length; i += 4) {
    results.push(...await Promise.all(cases.slice(i, i + 4).map(([args, , env]) => monitor(args, { env }))));
  }
  results.forEach((r, i) => {
    const [args, expected] = cases[i];
    assert.equal(r.code, 2, `${args.join(' ')}: ${r.stderr}`);
    assert.equal(r.stdout, '', 'nothing started, nothing printed');
    const errLines = r.stderr.split('\n').filter((l) => l !== '');
    assert.equal(errLines.length, 1, r.stderr);
    assert.match(errLines[0], expected);
  });
});

test('--help lists every option; a negative value may follow its option', async () => {
  const help = await monitor(['--help']);
  assert.equal(help.code, 0);
  for (const name of Object.keys(OPTIONS)) assert.match(help.stdout, new RegExp(`--${name}\\b`));
  for (const line of help.lines) assert.ok(line.length <= 80, `help fits 80 columns: ${line}`);

  const r = await monitor(['--sim', '--lines', '--hb-delay', '-1', '--debounce', '300', '--duration', '0.3']);
  assert.equal(r.code, 0, r.stderr);
  assert.equal(r.lines[0], msg('STARTING', 0, 5000, 0, 300), 'no heartbeat: open() takes 0 for it');
  assert.ok(r.lines.includes(msg('HB_DISABLED')));
});

test('without --sim on a machine that is not a Raspberry Pi: a plain refusal, the driver never started', async (t) => {
  if (realDriverProblem() === null) return t.skip('this is a Raspberry Pi with root: the real driver would start');
  const r = await monitor(['--lines', '--duration', '1']);
  assert.equal(r.code, 1);
  assert.equal(r.stdout, '', 'no driver line: the driver was not started');
  assert.match(r.stderr, /^qel-monitor: .*not a Raspberry Pi.*use --sim for the simulated bridge\)\n$/);
});

test('which machines may start the real driver', () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'qel-board-'));
  const board = (files) => {
    fs.rmSync(dir, { recursive: true, force: true });
    for (const [name, text] of Object.entries(files)) {
      fs.mkdirSync(path.dirname(path.join(dir, name)), { recursive: true });
      fs.writeFileSync(path.join(dir, name), text);
    }
    return dir;
  };
  try {
    assert.match(realDriverProblem({ root: board({ 'proc/cpuinfo': 'model name : x' }), uid: 0 }), /there is no \/dev\/mem here/);
    assert.match(realDriverProblem({ root: board({ 'dev/mem': '', 'proc/cpuinfo': 'vendor_id : GenuineIntel\n' }), uid: 0 }),
      /this machine is not a Raspberry Pi \(no Raspberry Pi model in/);
    assert.match(realDriverProblem({ root: board({ 'dev/mem': '', 'proc/device-tree/model': 'Pine64 ROCKPro64\0' }), uid: 0 }),
      /this machine is not a Raspberry Pi \(model "Pine64 ROCKPro64"\)/);
    const pi4 = { 'dev/mem': '', 'proc/device-tree/model': 'Raspberry Pi 4 Model B Rev 1.4\0' };
    assert.equal(realDriverProblem({ root: board(pi4), uid: 0 }), null);
    assert.match(realDriverProblem({ root: board(pi4), uid: 1000 }), /^qel-monitor: needs root: .*\/dev\/mem/);
    assert.equal(realDriverProblem({ root: board({ 'dev/mem': '', 'proc/cpuinfo': 'Hardware : BCM2835\nModel : Raspberry Pi Zero W Rev 1.1\n' }), uid: 0 }), null);
    assert.match(realDriverProblem({ root: board({ 'dev/mem': '', 'proc/device-tree/model': 'Raspberry Pi 5 Model B Rev 1.0\0' }), uid: 0 }),
      /does not support the Raspberry Pi 5/);
    const pi5 = { 'dev/i2c-1': '', 'proc/device-tree/model': 'Raspberry Pi 5 Model B Rev 1.0\0' };
    assert.equal(kernelDriverProblem('/dev/i2c-1', { root: board(pi5) }), null, 'the kernel path drives a Pi 5, without root');
    assert.match(kernelDriverProblem('/dev/i2c-3', { root: board(pi5) }), /^qel-monitor: \/dev\/i2c-3 does not exist: enable I2C/);
    assert.equal(kernelDriverProblem('i2c-1', { root: board(pi5), cwd: '/dev' }), null, 'a relative device is in the working directory');
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

// ------------------------------------------------------------- the table

const stripAnsi = (s) => s.replace(/\x1b\[[0-9;?]*[A-Za-z]|\x1b[78]/g, '');

test('on a terminal: the table refreshes in place, the broker\'s state in its title, c and l send commands, q quits', async () => {
  const node = nodeCommand();
  const quote = (w) => `'${w.replace(/'/g, "'\\''")}'`;
  const command = `stty rows 30 cols 100; exec ${[node.file, ...node.args, monitorJs, '--sim', '--mqtt', 'mqtt://127.0.0.1:1'].map(quote).join(' ')}`;
  const child = spawn('script', ['-qfec', command, '/dev/null'], { cwd: root, stdio: ['pipe', 'pipe', 'pipe'] });
  let out = '';
  child.stdout.on('data', (d) => { out += d; });
  child.stderr.on('data', (d) => { out += d; });
  const exited = new Promise((resolve) => child.on('close', (code) => resolve(code)));
  const killer = setTimeout(() => child.kill('SIGKILL'), 30000 * TIME_FACTOR);
  const seen = async (what, ms = 10000) => {
    const end = Date.now() + ms * TIME_FACTOR;
    while (!(typeof what === 'string' ? stripAnsi(out).includes(what) : what.test(stripAnsi(out)))) {
      if (Date.now() > end) throw new Error(`not seen on the terminal: ${what}\n--- output\n${stripAnsi(out).slice(-3000)}`);
      await new Promise((r) => setTimeout(r, 50));
    }
  };
  try {
    await seen(HEADER.trim());
    await seen(/qel-monitor {2}simulated bridge {2}v\S+ {2}up \d+:\d\d {2}mqtt cannot reach {2}poll/);
    // Slot rows at fixed places: 0x1a1 is the first row under the header.
    await seen(/ 0x1a1 cyclic {4}yes +\d+ +[1-9]\d* {2}[0-9a-f]{2}( [0-9a-f]{2}){7} {2}\d+\.\ds ago/);
    assert.match(out, /\x1b\[3;1H 0x1a1 cyclic/);
    assert.match(out, /\x1b\[6;1H\x1b\[2m 0x421 event {5}no /, 'disabled slots dimmed');
    await seen(/ hb \d+ \([\d.]+\/s\) {3}unk \d+ \([\d.]+\/s\) {3}empty \d+ \([\d.]+\/s\) {3}err \d+ \([\d.]+\/s\)/);
    await seen(/ simulated traffic: [1-9]\d* frames fed to the bridge, \d+ waiting/);
    // The driver's own lines go to the region below the table.
    assert.match(out, /\x1b\[21;30r/, 'scrolling region under the 20 table rows');

    child.stdin.write('c');
    await seen(/last command \d\d:\d\d:\d\d {2}Read CFG ALL: sent \(0x4e0 data 00 04 00 00 00 00 00 00\)/);
    await seen(msg('CMD_READ_CFG_ALL'));
    child.stdin.write('l');
    await seen(/last command \d\d:\d\d:\d\d {2}COP light on: sent \(0x4e0 data 00 03 00 00 00 00 00 00\)/);
    await seen(msg('CMD_COP_ON', 1));
    child.stdin.write('l');
    await seen(/COP light off: sent \(0x4e0 data 00 02 00 00 00 00 00 00\)/);

    child.stdin.write('q');
    const code = await exited;
    assert.equal(code, 1, 'the broker never reached');
    assert.match(stripAnsi(out), /qel-monitor: --mqtt: the broker was never reached during the run/);
    // The terminal is handed back: scrolling region reset, cursor shown.
    assert.match(out, /\x1b\[r\x1b8\x1b\[\?25h/);
  } finally {
    clearTimeout(killer);
    child.kill('SIGKILL');
  }
});

// ------------------------------------------------------------- examples

test('examples/app.js starts the driver and leaves on SIGTERM, as its service unit expects', async () => {
  const node = nodeCommand();
  const child = spawn(node.file, [...node.args, path.join(root, 'examples', 'app.js'), '--sim'], { cwd: root });
  let out = '';
  child.stdout.on('data', (d) => { out += d; });
  const code = await new Promise((resolve) => {
    const timer = setTimeout(() => child.kill('SIGKILL'), 20000 * TIME_FACTOR);
    const poll = setInterval(() => {
      if (out.includes(`app: driver ${VERSION} started on the simulated bridge`)) {
        clearInterval(poll);
        child.kill('SIGTERM');
      }
    }, 20);
    child.on('close', (c) => { clearTimeout(timer); clearInterval(poll); resolve(c); });
  });
  assert.equal(code, 0, out);
  assert.ok(out.startsWith(`${msg('STARTING', 50000, 20000, 500000, 2000)}\n`));
  const unit = fs.readFileSync(path.join(root, 'examples', 'qel-app.service'), 'utf8');
  assert.match(unit, /^ExecStart=\/usr\/bin\/node \S+app\.js$/m);
  assert.match(unit, /^User=root$/m);
  assert.match(unit, /^KillSignal=SIGTERM$/m);
  assert.match(unit, /^WantedBy=multi-user\.target$/m);
});
