'use strict';
// The live view: one static page and a stream of server-sent events that
// keeps it current, from Node's own http module. It only reads what the
// monitor already keeps; no request reaches the bus. A browser that falls
// behind never holds up the monitor or the driver: while its socket is
// full it is skipped, and once the socket drains it gets one fresh
// snapshot in place of everything it missed.
const fs = require('fs');
const http = require('http');
const path = require('path');
const format = require('./format');

const PAGE = path.join(__dirname, 'view', 'index.html');
const FLUSH_MS = 100;        // at most ten messages a second to a browser
const STATS_MS = 200;        // the statistics move without a status object
const POINT_MS = 1000;       // one point of the chart a second
const POINTS = 300;          // five minutes of them
// Each stream holds a socket and its buffers for as long as the page is
// open: enough for a team around one lift, and a bound on what idle or
// hostile connections can take from the Pi.
const STREAMS = 32;

const HEADERS = {
  'Cache-Control': 'no-store',
  'X-Content-Type-Options': 'nosniff',
  'Content-Security-Policy': "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; connect-src 'self'",
};

const event = (name, value) => `event: ${name}\ndata: ${JSON.stringify(value)}\n\n`;

// The table, the statistics and the header line as the page draws them.
function table(monitor) {
  const m = monitor;
  return {
    source: m.source, version: m.version, config: m.config, startedAt: m.startedAt, note: m.note,
    slots: m.slots.map((s) => ({
      id: s.id, cls: s.cls, enabled: s.enabled, counter: s.counter, reports: s.reports,
      data: s.data ? Array.from(s.data) : null, changed: s.changed, reportedAt: s.reportedAt,
    })),
    stats: { ...m.stats }, rates: { ...m.rates },
  };
}

// Every frame the driver has read: the slots' counters and the statistics
// that count frames (an empty poll is none).
function framesRead(monitor) {
  return monitor.slots.reduce((n, s) => n + s.counter, 0) + monitor.stats.hb + monitor.stats.unk + monitor.stats.err;
}

// Frames and errors a second, one point each POINT_MS, the last POINTS.
class History {
  constructor() {
    this.points = [];
    this.last = null;
  }
  add(monitor, t) {
    const now = { t, frames: framesRead(monitor), err: monitor.stats.err };
    const before = this.last;
    this.last = now;
    if (!before) return null;
    const dt = (t - before.t) / 1000;
    // a clearMem may set a count back; that second shows nothing
    const per = (k) => Math.max(0, Math.round(((now[k] - before[k]) / dt) * 10) / 10);
    const point = { t, frames: per('frames'), errors: per('err') };
    this.points.push(point);
    if (this.points.length > POINTS) this.points.shift();
    return point;
  }
}

// One browser's event stream.
class Viewer {
  constructor(res, snapshot) {
    this.res = res;
    this.snapshot = snapshot;
    this.behind = false;
    this.write(event('snapshot', snapshot()));
  }
  write(text) {
    if (this.behind) return;
    if (this.res.write(text)) return;
    this.behind = true;
    this.res.once('drain', () => {
      this.behind = false;
      this.write(event('snapshot', this.snapshot()));
    });
  }
}

// Whether a Host header names this machine: a view kept on the loopback
// address answers nothing else, so that a web page elsewhere cannot reach
// it through a name that it points here (DNS rebinding).
function loopbackHost(header) {
  const name = String(header || '').replace(/:\d+$/, '').replace(/^\[|\]$/g, '').toLowerCase();
  return name === 'localhost' || name === '::1' || /^127\.\d+\.\d+\.\d+$/.test(name);
}

// By the address the server is bound to, not by how --http spelled it:
// 127.1, localhost and ::ffff:127.0.0.1 are loopback; 0 and :: are not.
const isLoopback = (address) => /^(127\.\d+\.\d+\.\d+|::1|::ffff:127\.\d+\.\d+\.\d+)$/i.test(address);
const urlHost = (address) => (address.includes(':') ? `[${address}]` : address);

// The path of a request target; null for one that is no URL (`//[`).
function routeOf(target) {
  try {
    return new URL(target, 'http://view').pathname;
  } catch {
    return null;
  }
}

function refuse(res, code, text, headers = {}) {
  const body = Buffer.from(`${text}\n`);
  res.writeHead(code, { ...HEADERS, ...headers, 'Content-Type': 'text/plain; charset=utf-8', 'Content-Length': body.length });
  res.end(body);
}

// opts: monitor (the state main.js keeps), statuses (an EventEmitter of
// the status objects), sample (brings counters and statistics up to
// date), host, port, onListening(url), onError(error).
function serveView(opts) {
  const { monitor, statuses, sample, host, port } = opts;
  const page = Buffer.from(fs.readFileSync(PAGE, 'utf8').replace('/* format.js */', `${format.age}\n${format.micros}`));
  const viewers = new Set();
  const history = new History();
  let due = null;
  let lastFlush = 0;
  let lastSent = '';
  let points = [];

  const snapshot = () => ({ now: Date.now(), ...table(monitor), history: history.points, window: POINTS * POINT_MS });
  const flush = () => {
    due = null;
    lastFlush = Date.now();
    sample();
    const state = table(monitor);
    const key = JSON.stringify(state);
    if (key === lastSent && points.length === 0) return;
    lastSent = key;
    const text = event('update', { now: lastFlush, ...state, history: points });
    points = [];
    for (const v of viewers) v.write(text);
  };
  const schedule = () => {
    if (due || viewers.size === 0) return;
    due = setTimeout(flush, Math.max(0, lastFlush + FLUSH_MS - Date.now()));
  };
  const tick = () => {
    sample();
    const point = history.add(monitor, Date.now());
    // a point sent again (here and in a snapshot) the page keeps once
    if (point && viewers.size > 0) points.push(point);
    schedule();
  };

  const events = (req, res) => {
    if (viewers.size >= STREAMS) {
      return refuse(res, 503, `qel-monitor: the live view already serves ${STREAMS} pages; close one and reload`, { 'Retry-After': '10' });
    }
    res.writeHead(200, { ...HEADERS, 'Content-Type': 'text/event-stream; charset=utf-8', Connection: 'keep-alive' });
    res.write('retry: 2000\n\n');
    sample();
    const viewer = new Viewer(res, snapshot);
    viewers.add(viewer);
    res.on('close', () => viewers.delete(viewer));
    return undefined;
  };
  let local = true;  // until the bound address is known; no request comes before
  const server = http.createServer((req, res) => {
    const route = routeOf(req.url);
    if (route === null) return refuse(res, 400, 'qel-monitor: bad request: the target is no URL path');
    if (local && !loopbackHost(req.headers.host)) return refuse(res, 403, 'qel-monitor: this live view answers to localhost only');
    if (route !== '/' && route !== '/events') return refuse(res, 404, 'qel-monitor: not found; the live view is at /');
    if (req.method !== 'GET') return refuse(res, 405, 'qel-monitor: the live view only reads (GET)', { Allow: 'GET' });
    if (route === '/events') return events(req, res);
    res.writeHead(200, { ...HEADERS, 'Content-Type': 'text/html; charset=utf-8', 'Content-Length': page.length });
    return res.end(page);
  });

  statuses.on('status', schedule);
  const timers = [setInterval(schedule, STATS_MS), setInterval(tick, POINT_MS)];
  for (const t of timers) t.unref();
  server.on('error', (e) => opts.onError(e));
  server.listen(port, host, () => {
    const bound = server.address();
    local = isLoopback(bound.address);
    opts.onListening(`http://${urlHost(bound.address)}:${bound.port}/`);
  });

  const stop = () => {
    for (const t of timers) clearInterval(t);
    clearTimeout(due);
    statuses.removeListener('status', schedule);
    for (const v of viewers) v.res.destroy();
    server.close();
  };
  return { server, stop, get viewers() { return viewers.size; } };
}

module.exports = { serveView, Viewer, loopbackHost, STREAMS };
