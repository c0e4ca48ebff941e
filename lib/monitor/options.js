'use strict';
// Command-line options of qel-monitor. Every bad value ends in one line on
// stderr that names the option and the form it expects, and exit status 2.
const fs = require('fs');
const { parseArgs } = require('util');
const { SLOT_IDS, hex } = require('./slots');
const { unescaped } = require('../mqtt');

class UsageError extends Error {}

const CAN_POLL_DELAY = 250;

const IFACE = /^[A-Za-z0-9._-]{1,15}$/;
const ID_LIST = SLOT_IDS.map((id) => id.toString(16)).join(',');

const OPTIONS = {
  'i2c-delay': { type: 'string', arg: 'US', help: 'pause after each bridge register access, microseconds (driver default 50000; --sim: 0)',
    expected: 'an integer number of microseconds, e.g. --i2c-delay 50000' },
  'can-delay': { type: 'string', arg: 'US', help: 'pause between two polls of the bridge, microseconds (driver default 20000; --sim: 5000; --replay: fast enough for the capture)',
    expected: 'an integer number of microseconds, e.g. --can-delay 20000' },
  'hb-delay': { type: 'string', arg: 'US', help: 'heartbeat period, microseconds; below 1 turns the heartbeat off (default 500000)',
    expected: 'an integer number of microseconds, e.g. --hb-delay 500000' },
  debounce: { type: 'string', arg: 'MS', help: 'debounce window of the 0x2xx identifiers, milliseconds (default 2000)',
    expected: 'an integer number of milliseconds, e.g. --debounce 2000' },
  enable: { type: 'string', arg: 'IDS', help: `identifiers to listen to, comma-separated hex (default all but 421 and 4e0)`,
    expected: `a comma-separated list of the driver's identifiers in hex (${ID_LIST}), e.g. 1a1,0x2c0, or '' for none` },
  cyclic: { type: 'string', arg: 'IDS', help: 'identifiers reported only when their data change (default 1a1,3a1)',
    expected: `a comma-separated list of the driver's identifiers in hex (${ID_LIST}), e.g. 1a1,3a1, or '' for none` },
  debug: { type: 'boolean', help: 'driver debug mode: per-frame console lines and the debug log file' },
  duration: { type: 'string', arg: 'SECONDS', help: 'stop after this many seconds (default: run until q or Ctrl-C)',
    expected: 'a number of seconds above 0, e.g. --duration 5' },
  'i2c-dev': { type: 'string', arg: '[DEVICE]', help: 'reach the real bridge through the kernel\'s I2C driver (default device /dev/i2c-1): no root, any Raspberry Pi including the 5',
    expected: 'an I2C device path, e.g. --i2c-dev /dev/i2c-1' },
  sim: { type: 'boolean', help: 'run on the simulated bridge, fed with traffic shaped like the QEL module\'s' },
  replay: { type: 'string', arg: 'FILE', help: 'run on the simulated bridge, fed with a candump log at its recorded pace',
    expected: 'a readable candump log file, e.g. --replay capture.log' },
  can: { type: 'string', arg: 'IFACE', help: 'run on the simulated bridge, fed with the frames of a Linux SocketCAN interface (e.g. vcan0, can0) as they come; needs candump from can-utils',
    expected: 'a SocketCAN interface name of 1 to 15 letters, digits or . _ -, e.g. --can vcan0' },
  record: { type: 'string', arg: 'FILE', help: 'write every frame the driver reads to FILE as a candump log',
    expected: 'a file name to write, e.g. --record capture.log' },
  interface: { type: 'string', arg: 'NAME', help: 'interface name in the recorded lines (default qel0)',
    expected: 'an interface name of 1 to 15 letters, digits or . _ -, e.g. --interface can0' },
  mqtt: { type: 'string', arg: 'URL', help: 'publish every status object, the statistics and the monitor\'s health to an MQTT broker, e.g. mqtt://lift7@broker:1883 or mqtts://…',
    expected: 'a broker URL beginning with mqtt://, mqtts://, ws:// or wss://, e.g. --mqtt mqtt://broker.example:1883' },
  'mqtt-password-file': { type: 'string', arg: 'FILE', help: 'the broker password, from the first line of FILE (the user goes in the URL)',
    expected: 'a readable file holding the password, e.g. --mqtt-password-file /etc/qel/mqtt-password' },
  'mqtt-prefix': { type: 'string', arg: 'PREFIX', help: 'first level of the topics (default corvalith)',
    expected: 'a topic level without + # or /, e.g. --mqtt-prefix corvalith' },
  'mqtt-node': { type: 'string', arg: 'NAME', help: 'this node\'s name in the topics (default the host name)',
    expected: 'a topic level without + # or /, e.g. --mqtt-node lift7' },
  'mqtt-queue': { type: 'string', arg: 'N', help: 'event statuses kept in order while the broker is away; older ones are dropped and counted (default 1000)',
    expected: 'a whole number of messages from 1 on, e.g. --mqtt-queue 1000' },
  'mqtt-commands': { type: 'string', arg: 'TOPIC', help: 'run sendCommand and writeParameter sent as JSON on TOPIC; needs a user and password (off by default)',
    expected: 'a topic without + or #, e.g. --mqtt-commands corvalith/lift7/commands' },
  http: { type: 'string', arg: '[HOST:]PORT', help: 'serve a live view of the bus to a browser on PORT (0: a free one), read-only; on 127.0.0.1 unless HOST is given',
    expected: 'a port from 0 to 65535, or HOST:PORT, e.g. --http 8080 or --http 0.0.0.0:8080' },
  lines: { type: 'boolean', help: 'one line per delivered status object instead of the table (always so when stdout is not a terminal)' },
  help: { type: 'boolean', short: 'h', help: 'show this help' },
};

function usage() {
  const rows = Object.entries(OPTIONS).map(([name, o]) => {
    const left = `  ${o.short ? `-${o.short}, ` : ''}--${name}${o.arg ? ` ${o.arg}` : ''}`;
    // wrapped to 80 columns, continuation lines under the description
    const words = o.help.split(' ');
    const wrapped = [''];
    for (const w of words) {
      const last = wrapped.length - 1;
      if (wrapped[last] && wrapped[last].length + 1 + w.length > 55) wrapped.push(w);
      else wrapped[last] = wrapped[last] ? `${wrapped[last]} ${w}` : w;
    }
    // a left column too wide for its place gets a line of its own
    const head = left.length > 24 ? [left] : [];
    return [...head, ...wrapped.map((text, i) => `${(i === 0 && !head.length ? left : '').padEnd(24)} ${text}`)].join('\n');
  });
  return [
    'Usage: qel-monitor [options]',
    '',
    'Starts the QEL CAN bus driver and shows the bus live: a table on a terminal,',
    'one line per status object otherwise. Without --sim, --replay or --can it uses',
    'the real bridge on a Raspberry Pi: as root through the bcm2835 library, or',
    'with --i2c-dev through the kernel\'s I2C driver as a member of group i2c.',
    '',
    ...rows,
    '',
    'Keys on a terminal: q quit, c send Read CFG ALL, l switch the COP light on/off.',
    '',
  ].join('\n');
}

function bad(name, value) {
  const shown = value === undefined ? 'nothing' : JSON.stringify(value);
  return new UsageError(`qel-monitor: --${name}: expected ${OPTIONS[name].expected}; got ${shown}`);
}

function integer(name, text) {
  if (text === undefined) return undefined;
  if (!/^[+-]?\d+$/.test(text.trim())) throw bad(name, text);
  const n = Number(text);
  if (n < -2147483648 || n > 2147483647) throw bad(name, text);
  return n;
}

function idList(name, text) {
  if (text === undefined) return undefined;
  const t = text.trim();
  if (t === '' || t === 'none') return [];
  const ids = [];
  for (const item of t.split(',')) {
    const m = /^(?:0x)?([0-9a-f]{1,3})$/i.exec(item.trim());
    const id = m ? parseInt(m[1], 16) : NaN;
    if (!SLOT_IDS.includes(id)) throw bad(name, text);
    if (!ids.includes(id)) ids.push(id);
  }
  return ids;
}

// parseArgs' own messages are long and mention its internals; say it in
// the monitor's words, on one line.
function translate(err) {
  const m = /'(-[^' ]+)/.exec(err.message);
  const flag = m ? m[1] : '';
  const name = flag.replace(/^-+/, '');
  switch (err.code) {
    case 'ERR_PARSE_ARGS_UNKNOWN_OPTION':
      return new UsageError(`qel-monitor: unknown option ${flag} (see qel-monitor --help)`);
    case 'ERR_PARSE_ARGS_UNEXPECTED_POSITIONAL': {
      const p = /'([^']*)'/.exec(err.message);
      return new UsageError(`qel-monitor: unexpected argument ${p ? JSON.stringify(p[1]) : ''} (see qel-monitor --help)`.replace('  ', ' '));
    }
    case 'ERR_PARSE_ARGS_INVALID_OPTION_VALUE':
      if (OPTIONS[name] && OPTIONS[name].type === 'boolean') {
        return new UsageError(`qel-monitor: --${name}: takes no value (write --${name} alone)`);
      }
      if (OPTIONS[name]) return bad(name, undefined);
      return new UsageError(`qel-monitor: ${err.message.split('\n')[0]}`);
    default:
      return new UsageError(`qel-monitor: ${String(err.message).split('\n')[0]}`);
  }
}

// `--hb-delay -1` reads as an option followed by a value, as a person
// means it; parseArgs alone would take -1 for an option.
function joinNegativeValues(argv) {
  const out = [];
  for (let i = 0; i < argv.length; i++) {
    const name = argv[i].startsWith('--') ? argv[i].slice(2) : null;
    if (name && OPTIONS[name] && OPTIONS[name].type === 'string' && /^-\d/.test(argv[i + 1] || '')) {
      out.push(`${argv[i]}=${argv[++i]}`);
    } else {
      out.push(argv[i]);
    }
  }
  return out;
}

// --i2c-dev takes its device only when one follows.
function defaultDevice(argv) {
  return argv.map((a, i) => (a === '--i2c-dev' && (i + 1 === argv.length || argv[i + 1].startsWith('-')) ? '--i2c-dev=/dev/i2c-1' : a));
}

// Whether two names lead to one file, through a link or another spelling
// as well. A file that does not exist yet is none that --replay reads.
function sameFile(a, b) {
  try {
    const [x, y] = [fs.statSync(a), fs.statSync(b)];
    return x.dev === y.dev && x.ino === y.ino;
  } catch {
    return false;
  }
}

// The driver mirrors what it reads to QEL_MIRROR: onto the interface that
// --can reads, each frame would come back to be read and mirrored again,
// for ever. To another interface the mirror is welcome.
function mirrorLoop(iface, env) {
  if (env.QEL_MIRROR !== iface) return null;
  return new UsageError(`qel-monitor: --can ${iface}: QEL_MIRROR=${iface} would mirror what the monitor reads back onto ${iface}, a loop; ` +
    'start the monitor without QEL_MIRROR, or mirror to another interface');
}

const TOPIC_LEVEL = /^[^+#/\u0000]{1,100}$/;

// What --mqtt and its companions ask for; commands only over a connection
// that carries a user and a password.
function mqttSettings(values) {
  const url = values.mqtt;
  const given = Object.keys(values).filter((k) => k.startsWith('mqtt-'));
  if (url === undefined) {
    if (given.length > 0) throw new UsageError(`qel-monitor: --${given[0]}: goes with --mqtt URL`);
    return null;
  }
  let parsed;
  try {
    parsed = new URL(url);
  } catch {
    throw bad('mqtt', url);
  }
  if (!['mqtt:', 'mqtts:', 'ws:', 'wss:'].includes(parsed.protocol) || !parsed.hostname) throw bad('mqtt', url);
  try {
    unescaped(parsed.username);
    unescaped(parsed.password);
  } catch (e) {
    throw new UsageError(`qel-monitor: --mqtt: ${e.message}`);  // the URL not shown: it may hold the password
  }
  const passwordFile = values['mqtt-password-file'];
  if (passwordFile !== undefined) {
    try {
      fs.accessSync(passwordFile, fs.constants.R_OK);
    } catch {
      throw bad('mqtt-password-file', passwordFile);
    }
  }
  for (const name of ['mqtt-prefix', 'mqtt-node']) {
    if (values[name] !== undefined && !TOPIC_LEVEL.test(values[name])) throw bad(name, values[name]);
  }
  const queue = values['mqtt-queue'];
  if (queue !== undefined && !(/^\d+$/.test(queue) && Number(queue) >= 1)) throw bad('mqtt-queue', queue);
  const commands = values['mqtt-commands'];
  if (commands !== undefined) {
    if (!/^[^+#\u0000]{1,200}$/.test(commands)) throw bad('mqtt-commands', commands);
    if (!parsed.username || !(parsed.password || passwordFile)) {
      throw new UsageError('qel-monitor: --mqtt-commands: commands need an authenticated connection: a user in the --mqtt URL and a password (--mqtt-password-file)');
    }
  }
  return {
    url, passwordFile, commands, prefix: values['mqtt-prefix'], node: values['mqtt-node'],
    queueLimit: queue === undefined ? undefined : Number(queue),
  };
}

// Where --http listens: a port alone keeps the view on this machine (an
// SSH tunnel brings it elsewhere); a host, IPv6 in brackets, opens it to
// whoever reaches that address.
function httpSettings(text) {
  if (text === undefined) return null;
  const m = /^(?:(\[[0-9A-Fa-f:.]+\]|[A-Za-z0-9.-]+):)?(\d{1,5})$/.exec(text.trim());
  if (!m || Number(m[2]) > 65535) throw bad('http', text);
  return { host: m[1] ? m[1].replace(/^\[|\]$/g, '') : '127.0.0.1', port: Number(m[2]) };
}

// Returns the monitor's settings, or throws a UsageError. `env` is the
// environment the driver will see.
function parse(argv, env = process.env) {
  let values;
  argv = defaultDevice(joinNegativeValues(argv));
  try {
    const options = {};
    for (const [name, o] of Object.entries(OPTIONS)) options[name] = o.short ? { type: o.type, short: o.short } : { type: o.type };
    ({ values } = parseArgs({ args: argv, options, strict: true, allowPositionals: false }));
  } catch (err) {
    if (err instanceof TypeError && err.code && err.code.startsWith('ERR_PARSE_ARGS')) throw translate(err);
    throw err;
  }
  if (values.help) return { help: true };

  let duration;
  if (values.duration !== undefined) {
    const t = values.duration.trim();
    duration = /^(\d+\.?\d*|\.\d+)$/.test(t) ? Number(t) : NaN;
    if (!(duration > 0) || !Number.isFinite(duration)) throw bad('duration', values.duration);
  }
  if (values.replay !== undefined) {
    if (values.replay === '') throw bad('replay', values.replay);
    try {
      fs.accessSync(values.replay, fs.constants.R_OK);
      if (!fs.statSync(values.replay).isFile()) throw new Error('not a file');
    } catch {
      throw bad('replay', values.replay);
    }
  }
  if (values.record !== undefined && values.record === '') throw bad('record', values.record);
  if (values.record !== undefined && values.replay !== undefined && sameFile(values.record, values.replay)) {
    throw new UsageError(`qel-monitor: --record: ${JSON.stringify(values.record)} is the file that --replay reads; record to another file`);
  }
  if (values.interface !== undefined && !IFACE.test(values.interface)) throw bad('interface', values.interface);
  if (values.can !== undefined) {
    if (!IFACE.test(values.can)) throw bad('can', values.can);
    if (values.sim || values.replay !== undefined || values['i2c-dev'] !== undefined) {
      throw new UsageError('qel-monitor: --can: reads a SocketCAN interface; it does not go with --sim, --replay or --i2c-dev');
    }
    const loop = mirrorLoop(values.can, env);
    if (loop) throw loop;
  }
  const sim = Boolean(values.sim || values.replay !== undefined || values.can !== undefined);
  if (values['i2c-dev'] !== undefined && (values['i2c-dev'] === '' || sim)) {
    if (sim) throw new UsageError('qel-monitor: --i2c-dev: reaches the real bridge; it does not go with --sim or --replay');
    throw bad('i2c-dev', values['i2c-dev']);
  }
  const mqtt = mqttSettings(values);
  const settings = {
    help: false,
    mqtt,
    http: httpSettings(values.http),
    sim,
    i2cDev: values['i2c-dev'],
    replay: values.replay,
    can: values.can,
    record: values.record,
    iface: values.interface || 'qel0',
    lines: Boolean(values.lines),
    debug: Boolean(values.debug),
    duration,
    i2cDelay: integer('i2c-delay', values['i2c-delay']),
    canDelay: integer('can-delay', values['can-delay']),
    hbDelay: integer('hb-delay', values['hb-delay']),
    debounce: integer('debounce', values.debounce),
    enable: idList('enable', values.enable),
    cyclic: idList('cyclic', values.cyclic),
  };
  // The simulated bridge answers at once: short pauses make start-up and
  // the traffic quick, unless the options say otherwise. A replay sets its
  // poll delay from the capture; a live interface gets one that keeps up
  // with a full bus at the module's 250 kbit/s (some 2000 frames a second).
  if (sim) {
    if (settings.i2cDelay === undefined) settings.i2cDelay = 0;
    if (settings.canDelay === undefined && settings.replay === undefined) settings.canDelay = settings.can !== undefined ? CAN_POLL_DELAY : 5000;
  }
  return settings;
}

module.exports = { parse, usage, UsageError, OPTIONS, hexList: (ids) => ids.map(hex).join(',') };
