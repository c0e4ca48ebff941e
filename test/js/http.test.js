'use strict';
// qel-monitor --http: the live view over plain HTTP, a browser that falls
// behind, and the page in Debian's headless Chromium on a replayed capture.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawn } = require('child_process');
const { EventEmitter } = require('events');
const { Writable } = require('stream');
const fs = require('fs');
const http = require('http');
const net = require('net');
const os = require('os');
const path = require('path');
const { root, runNode, nodeCommand, TIME_FACTOR } = require('../helpers/scenario');
const { serveView, Viewer, STREAMS } = require('../../lib/monitor/http');

const CHROMIUM = '/usr/bin/chromium';
const skipBrowser = (!!process.env.QEL_NODE_LAUNCHER && 'emulated Node: the monitor is started with the host\'s Node, which cannot load its add-ons') ||
  (!!process.env.QEL_SIM_BUS && 'the view does not depend on the bridge\'s path: one browser run, in the first pass');

async function until(fn, what, ms = 30000) {
  for (const end = Date.now() + ms * TIME_FACTOR; !(await fn());) {
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await new Promise((r) => setTimeout(r, 20));
  }
}

const request = (url, { method = 'GET', headers = {} } = {}) => new Promise((resolve, reject) => {
  http.request(url, { method, headers }, resolve).on('error', reject).end();
});

test('over plain HTTP: GET / and /events only, a snapshot first, then the status that came, at most 32 streams; a port taken ends the monitor', async (t) => {
  const statuses = new EventEmitter();
  const slot = { id: 0x4a1, cls: 'event', enabled: true, counter: 0, reports: 0, data: null, changed: Array(8).fill(false), reportedAt: null };
  const monitor = { source: 'test', version: '1.0.1', config: {}, startedAt: 0, note: '', slots: [slot],
    stats: { hb: 0, unk: 0, empty: 0, err: 0 }, rates: { hb: null, unk: null, empty: null, err: null } };
  let view;
  const url = await new Promise((onListening, onError) => {
    view = serveView({ monitor, statuses, sample: () => {}, host: '127.0.0.1', port: 0, onListening, onError });
  });
  t.after(view.stop);
  const codes = await Promise.all([[`${url}x`], [url, { method: 'POST' }], [url, { headers: { host: 'lift.example' } }], [url]]
    .map(async ([u, o]) => { const r = await request(u, o); r.resume(); return r.statusCode; }));
  assert.deepEqual(codes, [404, 405, 403, 200]);

  const res = await request(`${url}events`);
  assert.equal(res.headers['content-type'], 'text/event-stream; charset=utf-8');
  let text = '';
  res.on('data', (d) => { text += d; });
  const events = () => text.split('\n\n').filter((e) => e.startsWith('event: ')).map((e) => {
    const [name, data] = e.split('\n');
    return { name: name.slice(7), ...JSON.parse(data.slice(6)) };
  });
  await until(() => events().length > 0, 'the snapshot');
  assert.deepEqual([events()[0].name, events()[0].slots, events()[0].history], ['snapshot', [slot], []]);
  Object.assign(slot, { data: Buffer.from('4200000000000007', 'hex'), changed: [true, false, false, false, false, false, false, true], reports: 1 });
  statuses.emit('status', {});
  // periodic updates may come before it on a slow machine
  const framed = () => events().find((e) => e.name === 'update' && e.slots[0].data);
  await until(framed, 'the update with the frame');
  assert.deepEqual(framed().slots[0].data, [0x42, 0, 0, 0, 0, 0, 0, 7]);

  const more = await Promise.all(Array.from({ length: STREAMS }, () => request(`${url}events`)));
  assert.deepEqual(more.map((r) => r.statusCode).sort(), [...Array(STREAMS - 1).fill(200), 503]);
  for (const r of [res, ...more]) r.destroy();
  await until(() => view.viewers === 0, 'the closed streams to be forgotten');

  // 127.1 is loopback, so the Host check holds; a target that is no URL
  // gets 400 and the monitor goes on serving, and ends as it should
  const node = nodeCommand();
  const child = spawn(node.file, [...node.args, path.join(root, 'bin', 'qel-monitor.js'), '--sim', '--lines', '--http', '127.1:0'], { cwd: root });
  t.after(() => child.kill('SIGKILL'));
  const got = { out: '', err: '', raw: '' };
  child.stdout.on('data', (d) => { got.out += d; });
  child.stderr.on('data', (d) => { got.err += d; });
  const ended = new Promise((resolve) => child.on('close', resolve));
  await until(() => /live view is at http:\/\/127\.0\.0\.1:\d+\/$/m.test(got.err), 'the URL on stderr', 60000);
  const live = new URL(/live view is at (\S+)/.exec(got.err)[1]);
  const sock = net.connect(live.port, '127.0.0.1', () => sock.write('GET //[ HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n')).on('data', (d) => { got.raw += d; });
  await new Promise((resolve) => sock.on('close', resolve));
  assert.match(got.raw, /^HTTP\/1\.1 400 Bad Request\r\n[^]*\r\n\r\nqel-monitor: bad request: the target is no URL path\n$/);
  assert.equal((await request(live.href, { headers: { host: 'lift.example' } })).statusCode, 403);
  child.kill('SIGTERM');
  assert.equal(await ended, 143, got.err);
  assert.match(got.out, /^\S+ end reports=\d+ hb=\d+ unk=\d+ empty=\d+ err=\d+$/m);

  const port = new URL(url).port;
  const r = await runNode([path.join(root, 'bin', 'qel-monitor.js'), '--sim', '--lines', '--duration', '600', '--http', port], { timeout: 60000 });
  assert.equal(r.code, 1);
  assert.equal(r.stderr, `qel-monitor: --http 127.0.0.1:${port}: cannot serve the live view there (EADDRINUSE)\n`);
});

test('a browser behind: nothing more is queued for it, and once its socket drains one fresh snapshot', async () => {
  const written = [];
  let drain;
  const socket = new Writable({ highWaterMark: 16, write(chunk, encoding, done) { written.push(String(chunk)); drain = done; } });
  let snapshots = 0;
  const viewer = new Viewer(socket, () => ({ n: ++snapshots }));
  for (let i = 0; i < 3; i++) viewer.write('event: update\ndata: {}\n\n');
  assert.deepEqual(written, ['event: snapshot\ndata: {"n":1}\n\n']);
  drain();
  await until(() => written.length === 2, 'the fresh snapshot');
  assert.deepEqual(written, ['event: snapshot\ndata: {"n":1}\n\n', 'event: snapshot\ndata: {"n":2}\n\n']);
});

// 0x4a1 once, then for two minutes the car's position 0x1a1 every 50 ms
// (byte 0 counting up every tenth frame), its status word, a key switch,
// a heartbeat and a push button: a table that fills and keeps moving.
const FEEDS = [['1A1', 50, (ms) => ms / 500], ['3A1', 250, (ms) => ms / 4000], ['2A1', 1000, () => 1], ['701', 500, () => 5], ['2C0', 2000, (ms) => ms / 2000]];
function capture() {
  const at = (ms) => `(${1700000000 + Math.floor(ms / 1000)}.${String((ms % 1000) * 1000).padStart(6, '0')}) can0`;
  const lines = [`${at(0)} 4A1#DEADBEEF01020304`];
  for (let ms = 50; ms < 120000; ms += 50) {
    for (const [id, every, byte] of FEEDS) if (ms % every === 0) lines.push(`${at(ms)} ${id}#${(Math.floor(byte(ms)) % 256).toString(16).padStart(2, '0')}00000000000000`);
  }
  return `${lines.join('\n')}\n`;
}

test('in Chromium: the table shows the replayed frame\'s bytes, fills and updates, the chart draws; the screenshot for the docs', { skip: skipBrowser }, async (t) => {
  assert.ok(fs.existsSync(CHROMIUM), `no ${CHROMIUM}: bin/qel-setup --tests installs Debian's chromium`);
  const { chromium } = require('playwright-core');
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'qel-view-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  fs.writeFileSync(path.join(dir, 'capture.log'), capture());
  const child = spawn(process.execPath, [path.join(root, 'bin', 'qel-monitor.js'), '--replay', path.join(dir, 'capture.log'),
    '--lines', '--duration', '600', '--http', '127.0.0.1:0'], { stdio: ['ignore', 'ignore', 'pipe'] });
  t.after(() => child.kill('SIGKILL'));
  let err = '';
  child.stderr.on('data', (d) => { err += d; });
  await until(() => /^qel-monitor: the live view is at http:\/\/127\.0\.0\.1:\d+\/$/m.test(err), 'the URL on stderr');
  const url = /live view is at (\S+)/.exec(err)[1];

  const browser = await chromium.launchPersistentContext(path.join(dir, 'profile'), {
    executablePath: CHROMIUM, headless: true, viewport: { width: 980, height: 640 },
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'] });
  t.after(() => browser.close());
  const page = await browser.newPage();
  await page.goto(url);
  const row = (id) => page.$$eval(`tr[data-id="${id}"] td`, (tds) => tds.map((td) => td.textContent));
  const bytes = (id) => page.$$eval(`tr[data-id="${id}"] .data span`, (s) => s.map((b) => `${b.textContent}${b.className ? '*' : ''}`).join(' '));
  await until(async () => (await bytes('0x4a1')) !== '-- -- -- -- -- -- -- --', 'the frame of 0x4a1 in the table');
  assert.equal(await bytes('0x4a1'), 'de* ad* be* ef* 01* 02* 03* 04*');
  assert.deepEqual((await row('0x4a1')).slice(0, 5), ['0x4a1', 'event', 'yes', '1', '1']);
  assert.equal(await page.$$eval('#slots tr', (rows) => rows.length), 13);

  const counter = async () => Number((await row('0x1a1'))[3]);
  const first = await counter();
  await until(async () => (await counter()) > first && (await bytes('0x1a1')).endsWith('* 00 00 00 00 00 00 00'), 'the counter of 0x1a1 to move');
  await until(() => page.evaluate(() => window.view.history.length >= 12), 'twelve seconds of the chart', 60000);
  // docs/ gets it when asked, so that a test run leaves the checkout as it was
  const shot = process.env.QEL_UPDATE_SCREENSHOT ? path.join(root, 'docs', 'monitor-view.png') : path.join(root, 'build', 'monitor-view.png');
  await page.screenshot({ path: shot, fullPage: true });
});
