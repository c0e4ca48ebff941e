'use strict';
// qel-monitor: opens the driver (open()) and shows the bus live, as a
// table on a terminal or as one line per delivered status object. What it
// shows comes from the driver object: its 'status' events, read() for the
// counters and statistics; what it sends goes through its send().
const path = require('path');
const options = require('./options');
const { SLOT_IDS, DEFAULT_ENABLED, DEFAULT_CYCLIC, STAT_KEYS, classOf, hex } = require('./slots');
const { startTraffic } = require('./traffic');
const replay = require('./replay');
const { startRecording } = require('./record');
const socketcan = require('./socketcan');
const { realDriverProblem, kernelDriverProblem } = require('./platform');
const { Screen } = require('./screen');
const { after } = require('./after');

const root = path.resolve(__dirname, '..', '..');
const { DRIVER_DEFAULTS } = require('./slots');

function fail(line, code) {
  process.stderr.write(`${line}\n`);
  process.exit(code);
}

function statusLine(status, cls) {
  const s = status.driver_stats;
  return `${new Date().toISOString()} id=${hex(status.msg_id)} class=${cls} counter=${status.counter} ` +
    `data=${status.msg_data.toString('hex')} ts=${status.timestamp} ` +
    `hb=${s.hb} unk=${s.unk} empty=${s.empty} err=${s.err}`;
}

// Feeds the bridge from a SocketCAN interface through candump, each frame
// as it comes: the bus keeps its own pace. The first skipped lines are
// described, as a replay's are, the rest only counted.
function readInterface(iface, program, feed, { bridge, monitor, onSkipped, onEnd }) {
  const DESCRIBED = 10;
  const live = socketcan.startCandump(program, iface, feed, {
    onSkipped: (s) => { if (live.counts.skipped <= DESCRIBED) onSkipped(s); },
    onEnd,
  });
  const note = () => {
    const c = live.counts;
    monitor.note = `${monitor.source}: ${c.accepted} frames fed, backlog ${bridge.pending()} (fed, not yet polled)` +
      `${c.skipped ? `, ${c.skipped} skipped (on stderr at the end)` : ''}`;
  };
  note();
  setInterval(note, 200);
  return live;
}

// The live view in a browser; where it is, or why not, on standard error.
function serveView({ host, port }, state, onFailure) {
  const given = `${host.includes(':') ? `[${host}]` : host}:${port}`;
  return require('./http').serveView({
    ...state, host, port,
    onListening: (url) => process.stderr.write(`qel-monitor: the live view is at ${url}\n`),
    onError: (e) => onFailure(`qel-monitor: --http ${given}: cannot serve the live view there (${e.code || e.message})`),
  });
}

// The monitor's settings as open()'s options. The monitor takes a
// negative delay, as driverStart always did, for no pause (a heartbeat
// below 1 is none): open() takes 0 for that.
function openOptions(s) {
  const delay = (v) => (v === undefined ? undefined : Math.max(0, v));
  return {
    i2cDelay: delay(s.i2cDelay), canBusDelay: delay(s.canDelay), heartbeat: delay(s.hbDelay), debounce: delay(s.debounce),
    enabledIds: s.enable, cyclicIds: s.cyclic, debug: s.debug,
  };
}

function main(argv) {
  let settings;
  try {
    settings = options.parse(argv);
  } catch (e) {
    if (e instanceof options.UsageError) return fail(e.message, 2);
    throw e;
  }
  if (settings.help) {
    process.stdout.write(options.usage());
    return process.exit(0);
  }

  let capture = null;
  if (settings.replay !== undefined) {
    try {
      capture = replay.scan(settings.replay);
    } catch (e) {
      if (e instanceof replay.RefusedFile) return fail(e.message, 2);
      if (e.code) return fail(`qel-monitor: --replay: cannot read ${JSON.stringify(settings.replay)} (${e.code})`, 2);
      throw e;
    }
    if (settings.canDelay === undefined) settings.canDelay = capture.pollDelay;
  }
  const candumpProgram = settings.can !== undefined ? socketcan.findCandump() : null;
  if (settings.can !== undefined && candumpProgram === null) return fail(socketcan.MISSING, 1);

  const lines = settings.lines || !process.stdout.isTTY;
  const name = path.basename(settings.replay || '');

  // The MQTT client is installed only where a node publishes: said before
  // anything starts.
  if (settings.mqtt) {
    try {
      require('../mqtt').mqttClient();
    } catch (e) {
      return fail(`qel-monitor: --mqtt: ${e.message}`, 1);
    }
  }

  // The flavour: the simulated bridge, or the real one where that is safe.
  let driver;
  if (settings.sim) {
    driver = require(path.join(root, 'sim'));
  } else if (settings.i2cDev !== undefined) {
    const problem = kernelDriverProblem(settings.i2cDev);
    if (problem) return fail(problem, 1);
    process.env.QEL_I2C_DEVICE = settings.i2cDev;
    driver = require(path.join(root, 'i2c-dev'));
  } else {
    const problem = realDriverProblem();
    if (problem) return fail(problem, 1);
    driver = require(root);
  }
  const bridge = driver.bridge;

  const enabled = settings.enable || DEFAULT_ENABLED;
  const cyclic = settings.cyclic || DEFAULT_CYCLIC;
  const config = {};
  for (const key of Object.keys(DRIVER_DEFAULTS)) config[key] = settings[key] !== undefined ? settings[key] : DRIVER_DEFAULTS[key];

  // What the table shows; the callback and the commands keep it current.
  const monitor = {
    source: capture ? `replay of ${name}` : settings.can !== undefined ? `SocketCAN ${settings.can}` : settings.sim ? 'simulated bridge' : settings.i2cDev ? `CAN bridge on ${settings.i2cDev}` : 'CAN bridge',
    version: driver.getVersion(),
    config,
    startedAt: Date.now(),
    slots: SLOT_IDS.map((id) => ({
      id, cls: classOf(id, cyclic), enabled: enabled.includes(id), counter: 0, reports: 0,
      data: null, changed: Array(8).fill(false), reportedAt: null,
    })),
    stats: { hb: 0, unk: 0, empty: 0, err: 0 },
    rates: { hb: null, unk: null, empty: null, err: null },
    reports: 0,
    command: null,
    copOn: false,
    keys: false,
    note: '',
    broker: settings.mqtt ? 'connecting' : null,
    bridgeDown: false,
  };

  let finished = false;
  let screen = null;
  let finish = () => process.exit(0);

  if (lines) {
    process.stdout.on('error', () => process.exit(0));  // a closed pipe, e.g. | head
  }

  // The SocketCAN interface being read, and why it stopped when it did.
  let live = null;
  let liveEnd = null;
  const liveShown = [];

  let recording = null;
  if (settings.record !== undefined) {
    try {
      recording = startRecording(settings.record, settings.iface, {
        onFailure: (e) => process.stderr.write(`qel-monitor: --record: recording stopped after ${recording.counts.frames} frames: ` +
          `cannot write ${JSON.stringify(settings.record)} (${e.code || e.message})\n`),
      });
    } catch (e) {
      return fail(`qel-monitor: --record: cannot write ${JSON.stringify(settings.record)} (${e.code || e.message})`, 2);
    }
  }
  // What the monitor says on standard error when it ends, and its exit
  // status: a recording that failed makes a clean end a failure.
  const farewell = (code) => {
    if (live) live.stop();
    if (liveEnd) process.stderr.write(`${liveEnd}\n`);
    if (recording) {
      recording.stop();
      const c = recording.counts;
      process.stderr.write(`qel-monitor: recorded ${c.frames} frames to ${settings.record}` +
        `${c.comments ? `, ${c.comments} comment lines` : ''}${c.dropped ? `, ${c.dropped} frames lost` : ''}\n`);
    }
    if (capture) process.stderr.write(`${replay.summary(name, capture)}\n`);
    if (live && live.counts.lines > 0) process.stderr.write(`${socketcan.summary(settings.can, live.counts)}\n`);
    return code === 0 && recording && recording.failure ? 1 : code;
  };

  let publisher = null;
  let mqttRefused = null;
  let viewFailed = null;
  // Lets the publisher say goodbye on its health topic before the process ends.
  const leave = (code) => {
    if (mqttRefused) process.stderr.write(`${mqttRefused}\n`);
    if (viewFailed) process.stderr.write(`${viewFailed}\n`);
    if (!publisher) return process.exit(code);
    // a publisher that never reached its broker did not do its work
    if (!publisher.reached && !mqttRefused) {
      process.stderr.write(`qel-monitor: --mqtt: the broker was never reached during the run\n`);
      if (code === 0) code = 1;
    }
    publisher.stop(() => process.exit(code));
  };

  let bus;
  try {
    bus = driver.open(openOptions(settings));
  } catch (e) {
    const hint = settings.sim ? '' :
      `\nqel-monitor: the driver's lines above say why: ${settings.i2cDev !== undefined ? 'a device or permission line names what to change' : '"bcm2835_init failed" means no access to /dev/mem'}, ` +
      'a CAN Bus BAUD speed error means that no bridge answered at I2C address 0x25';
    return fail(`qel-monitor: the driver could not start: ${e.message}${hint}`, 1);
  }
  // At once: what the driver reads from now on goes into the file.
  if (recording) recording.start(bus);
  bus.on('status', (status) => {
    monitor.reports++;
    const pos = SLOT_IDS.indexOf(status.msg_id);
    if (pos >= 0) {
      const slot = monitor.slots[pos];
      const before = slot.data || Buffer.alloc(8);
      slot.changed = Array.from(status.msg_data, (b, i) => b !== before[i]);
      slot.data = Buffer.from(status.msg_data);
      slot.counter = status.counter;
      slot.reports++;
      slot.reportedAt = Date.now();
    }
    for (const k of STAT_KEYS) monitor.stats[k] = status.driver_stats[k];
    if (lines && !finished) process.stdout.write(`${statusLine(status, classOf(status.msg_id, cyclic))}\n`);
  });
  // The driver's own lines say why; the table keeps it in sight until the bridge answers again.
  bus.on('bridgeDown', () => { monitor.bridgeDown = true; });
  bus.on('bridgeUp', () => { monitor.bridgeDown = false; });
  if (settings.mqtt) {
    publisher = require('../mqtt').publish(bus, {
      ...settings.mqtt,
      cyclicIds: cyclic,
      log: (line) => process.stderr.write(`${line}\n`),
      onState: (state) => { monitor.broker = state; },
      onRefused: (e) => { mqttRefused = `qel-monitor: --mqtt: the broker refused the connection: ${e.message}`; finish(1); },
    });
  }
  monitor.startedAt = Date.now();

  // Counters and statistics move with every frame, reported or not.
  const history = [];
  const sample = () => {
    let stats;
    for (const slot of monitor.slots) ({ counter: slot.counter, driver_stats: stats } = bus.read(slot.id));
    const now = Date.now();
    for (const k of STAT_KEYS) monitor.stats[k] = stats[k];
    history.push({ now, stats });
    while (history.length > 2 && now - history[1].now >= 1000) history.shift();
    const first = history[0];
    const dt = (now - first.now) / 1000;
    for (const k of STAT_KEYS) monitor.rates[k] = dt > 0.15 ? (stats[k] - first.stats[k]) / dt : null;
  };

  if (settings.http) serveView(settings.http, { monitor, statuses: bus, sample }, (line) => { viewFailed = line; finish(1); });

  // Commands, from the keys.
  const send = (label, fields) => {
    const at = new Date().toTimeString().slice(0, 8);
    const failed = (e) => {
      monitor.command = { label, at, outcome: `failed: ${e.message}`, ok: false };
      return false;
    };
    // Whether the frame went out, once the bus took it or refused it.
    try {
      return bus.send(fields).then(() => {
        let outcome = 'sent';
        if (bridge) {
          const w = bridge.writes().reverse().find((r) => r.bytes[0] === 0x30 && r.bytes[3] === 0x04 && r.bytes[4] === 0xe0);
          if (w) outcome += ` (0x4e0 data ${w.bytes.subarray(8, 16).toString('hex').replace(/(..)(?!$)/g, '$1 ')})`;
        }
        monitor.command = { label, at, outcome, ok: true };
        return true;
      }, failed);
    } catch (e) {
      return Promise.resolve(failed(e));
    }
  };
  const onKey = (key) => {
    if (key === 'q' || key === 'Q' || key === '\x03') return finish(0);
    if (key === 'c' || key === 'C') send('Read CFG ALL', { readCfg: 'all' });
    if (key === 'l' || key === 'L') {
      const on = !monitor.copOn;
      send(`COP light ${on ? 'on' : 'off'}`, { copLight: on }).then((sent) => { if (sent) monitor.copOn = on; });
    }
    if (screen) screen.draw();
  };

  if (lines) {
    finish = (code) => {
      if (finished) return;
      finished = true;
      try { sample(); } catch { /* the driver may be gone with the process */ }
      const s = monitor.stats;
      process.stdout.write(`${new Date().toISOString()} end reports=${monitor.reports} hb=${s.hb} unk=${s.unk} empty=${s.empty} err=${s.err}\n`);
      leave(farewell(code));
    };
  } else {
    screen = new Screen(process.stdout, monitor);
    if (process.stdin.isTTY) {
      monitor.keys = true;
      process.stdin.setRawMode(true);
      process.stdin.setEncoding('utf8');
      process.stdin.on('data', (text) => { for (const key of text) onKey(key); });
    }
    sample();
    screen.open();
    const timer = setInterval(() => { sample(); screen.draw(); }, 200);
    process.stdout.on('resize', () => screen.resize());
    finish = (code) => {
      if (finished) return;
      finished = true;
      clearInterval(timer);
      sample();
      screen.close();
      if (process.stdin.isTTY) process.stdin.setRawMode(false);
      if (capture) for (const s of capture.shown) process.stderr.write(`${replay.describeSkipped(settings.replay, s)}\n`);
      for (const s of liveShown) process.stderr.write(`${replay.describeSkipped(monitor.source, s)}\n`);
      leave(farewell(code));
    };
  }

  process.on('SIGINT', () => finish(130));
  process.on('SIGTERM', () => finish(143));
  process.on('SIGHUP', () => finish(129));

  const feed = (frame) => bridge.receive(frame);
  if (capture) {
    if (lines) for (const s of capture.shown) process.stderr.write(`${replay.describeSkipped(settings.replay, s)}\n`);
    const total = capture.accepted;
    const skipped = capture.skipped ? `, ${capture.skipped} line${capture.skipped > 1 ? 's' : ''} skipped (on stderr at the end)` : '';
    let fed = 0;
    const progress = () => {
      monitor.note = `replay: ${fed}/${total} frames fed, backlog ${bridge.pending()} (fed, not yet polled)${skipped}`;
    };
    progress();
    const progressTimer = setInterval(progress, 200);
    replay.play(settings.replay, feed, {
      onProgress: (n) => { fed = n; },
      onDone: () => {
        // Done once the driver has polled the last frame and delivered it.
        const drained = () => {
          if (bridge.pending() > 0) return setTimeout(drained, 20);
          setTimeout(() => {
            clearInterval(progressTimer);
            monitor.note = `replay finished: ${total} frames${skipped}`;
            if (lines && settings.duration === undefined) finish(0);
          }, 3 * Math.max(0, config.canDelay) / 1000 + 100);
        };
        drained();
      },
    });
  } else if (settings.can !== undefined) {
    live = readInterface(settings.can, candumpProgram, feed, {
      bridge, monitor,
      onSkipped: (s) => {
        if (lines) process.stderr.write(`${replay.describeSkipped(monitor.source, s)}\n`);
        else liveShown.push(s);
      },
      onEnd: (message) => { liveEnd = message; finish(1); },
    });
  } else if (settings.sim) {
    let fed = 0;
    startTraffic((frame) => { fed++; feed(frame); });
    monitor.note = 'simulated traffic';
    setInterval(() => { monitor.note = `simulated traffic: ${fed} frames fed to the bridge, ${bridge.pending()} waiting`; }, 200);
  } else {
    monitor.note = 'CAN bridge at I2C address 0x25, CAN at 250000 bit/s';
  }

  if (settings.duration !== undefined) after(settings.duration * 1000, () => finish(0));
}

module.exports = { main, statusLine };
