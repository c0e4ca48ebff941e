'use strict';
// Publishes the status objects of a driver object (open()) to an MQTT
// broker, for a fleet of Pis watched from elsewhere: one retained topic per
// slot, the statistics and the publisher's own health, a last will; and
// runs the commands that come on a topic through the object's send() and
// writeParameter(), with their checks. The driver never waits for the
// broker: what the broker cannot take yet waits, within bounds (the latest
// value of each state, the events in order up to a limit), and what
// overflows is dropped and counted. A lost broker is tried again after
// pauses that grow and are drawn at random, so that a fleet that lost its
// broker together does not come back all at once.
const fs = require('fs');
const os = require('os');
const { commandArguments, parameterNumber, parameterValue, fail } = require('./open/checks');

const DEFAULTS = { prefix: 'corvalith', queueLimit: 1000, interval: 1000, reconnectFirst: 1000, reconnectMax: 30000 };
const INSTALL = 'npm install mqtt';
// The slot read for the statistics: any slot's status object has them.
const STATS_SLOT = 0x1a1;
// Sent and not yet acknowledged: the client keeps these and sends them
// again after a reconnection, so they count beside the queue's bound.
const IN_FLIGHT = 32;
const AUTH_REFUSED = new Set([4, 5, 134, 135]);
// A broker that speaks MQTT 3.1.1 only answers a 5.0 connection so.
const OLD_PROTOCOL = new Set([1, 132]);
// Retained commands already refused, by their text, so that a broker that
// hands one over at every connection gets one answer and one log line.
const REFUSED_KEPT = 64;

const hexId = (id) => `0x${id.toString(16)}`;

function statusPayload(status) {
  return JSON.stringify({
    timestamp: status.timestamp, counter: status.counter, msg_id: status.msg_id,
    msg_data: Array.from(status.msg_data), driver_stats: status.driver_stats,
  });
}

// The user or password as the URL carries it, %XX-escaped; a % that begins
// no escape is refused rather than guessed at.
function unescaped(text) {
  try {
    return decodeURIComponent(text);
  } catch {
    throw new TypeError('the user or password in the broker URL has a % that begins no %XX escape; write a % as %25');
  }
}

// A password from the file's first line; a user and password in the URL
// otherwise.
function credentials(url, passwordFile) {
  const u = new URL(url);
  const username = unescaped(u.username) || undefined;
  let password = unescaped(u.password) || undefined;
  if (passwordFile) password = fs.readFileSync(passwordFile, 'utf8').split('\n')[0].trim();
  return { username, password };
}

// sendCommand's arguments as send()'s fields: -1 leaves a field out, the
// values the frame names become the field's; anything else is handed on
// as it is, for the field's check to refuse.
const named = (v, values) => (values.has(v) ? values.get(v) : v);
const POSITIONAL = [
  ['tft', new Map()],
  ['readCfg', new Map([[0, 'all'], [1, 'one']])],
  ['copLight', new Map([[0, false], [1, true]])],
  ['copLightColor', new Map([[0, false], [1, true]])],
  ['parameter', new Map()],
];
function positionalFields(args) {
  if (args.length < 1 || args.length > POSITIONAL.length) throw fail(RangeError, 'QEL_BAD_COMMAND', 'sendCommand takes 1 to 5 arguments');
  const fields = {};
  args.forEach((v, i) => { if (v !== -1) fields[POSITIONAL[i][0]] = named(v, POSITIONAL[i][1]); });
  return fields;
}

function arity(args, least, most, text) {
  if (args.length < least || args.length > most) throw fail(RangeError, 'QEL_BAD_COMMAND', text);
}

// What a command message may ask of the driver object, each through the
// object's own checks: nothing the frame cannot carry reaches the bus.
const COMMANDS = {
  send: (bus, args) => {
    arity(args, 1, 1, 'send takes 1 argument, an object of fields');
    return bus.send(args[0]);
  },
  sendCommand: (bus, args) => bus.send(positionalFields(args)),
  writeParameter: (bus, args) => {
    arity(args, 1, 2, 'writeParameter takes 1 or 2 arguments');
    return bus.writeParameter(...args);
  },
};

// Turns a command message into the call it asks for, { fn, args }, or
// says why not; the arguments are the driver object's to check.
function parseCommand(text) {
  let c;
  try {
    c = JSON.parse(text);
  } catch {
    return { error: 'not JSON', code: 'QEL_BAD_COMMAND' };
  }
  if (!c || !Object.hasOwn(COMMANDS, c.fn)) return { error: `fn must be one of ${Object.keys(COMMANDS).join(', ')}`, code: 'QEL_BAD_COMMAND' };
  if (!Array.isArray(c.args)) return { error: 'args must be an array', code: 'QEL_BAD_COMMAND' };
  return { fn: c.fn, args: c.args };
}

const isBus = (source) => source !== null && typeof source === 'object' && typeof source.read === 'function' && typeof source.send === 'function';

// The add-on's functions (the option `driver`, as before open() existed)
// seen as a driver object: the same checks, then the same functions.
function driverObject(driver) {
  if (!driver || isBus(driver)) return driver || null;
  return {
    read: (id) => driver.readStatus(id),
    send: (fields) => driver.sendCommand(...commandArguments(fields)),
    writeParameter: (number, bytes = []) => driver.writeParameter(parameterNumber(number), parameterValue(bytes)),
  };
}

// Keeps what waits for the broker. A state (a cyclic or debounced slot,
// the statistics, the health) keeps only its latest value: a newer one
// takes the older one's place. Events wait in order, at most `limit` of
// them; the oldest gives way and is counted, unless it is the latest of
// its topic, which then waits as that topic's state. So every topic's
// latest value reaches the broker, and memory stays within the limit and
// one value per topic.
class Queue {
  constructor(limit) {
    this.limit = limit;
    this.items = [];
    this.latest = new Map();
    this.waiting = new Map();  // events per topic in items
    this.dropped = 0;
  }
  push(topic, payload) {
    if (this.limit < 1) return this.set(topic, payload);
    this.waiting.set(topic, (this.waiting.get(topic) || 0) + 1);
    if (this.items.length >= this.limit) this.#giveWay();
    this.items.push({ topic, payload });
  }
  // A value waiting as its topic's state that a newer one replaces is
  // lost as well.
  #giveWay() {
    const old = this.#shift();
    if (this.waiting.has(old.topic) || this.latest.has(old.topic)) this.dropped++;
    if (!this.waiting.has(old.topic)) this.set(old.topic, old.payload);
  }
  #shift() {
    const m = this.items.shift();
    const n = this.waiting.get(m.topic) - 1;
    if (n > 0) this.waiting.set(m.topic, n);
    else this.waiting.delete(m.topic);
    return m;
  }
  set(topic, payload) {
    this.latest.delete(topic);
    this.latest.set(topic, payload);
  }
  // The states first: any event of the same topic is newer.
  take() {
    for (const [topic, payload] of this.latest) {
      this.latest.delete(topic);
      return { topic, payload };
    }
    return this.items.length > 0 ? this.#shift() : undefined;
  }
  get size() {
    return this.items.length + this.latest.size;
  }
}

// The pause before the next try: drawn at random up to a bound that
// doubles with each failed try, from `first` to `max` ms ("full jitter").
const reconnectDelay = (tries, first, max, random = Math.random) => random() * Math.min(max, first * 2 ** Math.min(tries, 30));

// The mqtt package, which only a publisher needs: an application installs
// it beside corvalith when it publishes.
function mqttClient() {
  try {
    return require('mqtt');
  } catch (e) {
    if (e.code !== 'MODULE_NOT_FOUND' || !/'mqtt'/.test(e.message)) throw e;
    const err = new Error(`the MQTT client is not installed; install it beside corvalith: ${INSTALL}`);
    err.code = 'MODULE_NOT_FOUND';
    throw err;
  }
}

// source: a driver object of open(), which also gives the statistics and
// runs the commands; or an EventEmitter that emits 'status', or a function
// that takes a listener for the status objects, with the option driver (the
// add-on's functions) for those. opts: url, node, prefix, passwordFile,
// queueLimit, interval (ms between statistics), driver, commands (a topic),
// log (a line to the operator), mqttOptions (passed on to mqtt.connect),
// cyclicIds (the driver's, for the slots' classes), reconnectFirst and
// reconnectMax (ms, the bounds of the pauses between tries).
function publish(source, opts = {}) {
  const mqtt = mqttClient();
  const o = { ...DEFAULTS };
  for (const [k, v] of Object.entries(opts)) if (v !== undefined) o[k] = v;
  // A cyclic or debounced slot reports a state, an event slot each event.
  const cyclic = new Set(o.cyclicIds || require('./facts').defaults.cyclicIds);
  const isState = (id) => cyclic.has(id) || id >> 8 === 2;
  const node = o.node || os.hostname();
  const base = `${o.prefix}/${node}`;
  const log = o.log || (() => {});
  const bus = isBus(source) ? source : driverObject(o.driver);
  const { username, password } = credentials(o.url, o.passwordFile);
  const queue = new Queue(o.queueLimit);
  const counts = { frames: 0, published: 0, reconnects: 0, get dropped() { return queue.dropped; }, get queued() { return queue.size; } };
  let inFlight = 0;
  let stats = null;
  let closing = false;
  let refused = false;
  let downgraded = false;
  let retry = null;
  let tries = 0;
  let droppedAtLoss = 0;
  const refusedRetained = new Set();

  const health = (connected) => JSON.stringify({ connected, frames: counts.frames, published: counts.published, drops: queue.dropped, queued: queue.size });
  // MQTT 5, so that a retained command shows its flag also when it is
  // published while the monitor listens (retain as published). The client
  // does not reconnect by itself: its fixed period would bring a fleet
  // back in one wave.
  const client = mqtt.connect(o.url, {
    username, password, clean: true, reconnectPeriod: 0, connectTimeout: 5000, queueQoSZero: false,
    protocolVersion: 5, reconnectOnConnackError: true,
    will: { topic: `${base}/health`, payload: JSON.stringify({ connected: false }), qos: 1, retain: true },
    ...o.mqttOptions,
  });

  const pump = () => {
    while (client.connected && inFlight < IN_FLIGHT && queue.size > 0) {
      const m = queue.take();
      inFlight++;
      // An error (a connection given up) leaves the message in the client's
      // store, which sends it again after the reconnection.
      client.publish(m.topic, m.payload, { qos: 1, retain: true }, (err) => {
        inFlight--;
        if (!err) counts.published++;
        pump();
      });
    }
  };
  const onStatus = (status) => {
    counts.frames++;
    stats = status.driver_stats;
    const topic = `${base}/status/${hexId(status.msg_id)}`;
    if (isState(status.msg_id)) queue.set(topic, statusPayload(status));
    else queue.push(topic, statusPayload(status));
    pump();
  };
  const tick = () => {
    // every status object carries the statistics; a closed object has none to give
    if (bus && !bus.closed) stats = bus.read(STATS_SLOT).driver_stats;
    if (stats) queue.set(`${base}/stats`, JSON.stringify(stats));
    queue.set(`${base}/health`, health(true));
    pump();
  };
  const answer = (text, result) => {
    log(`qel-monitor: mqtt command on ${o.commands}: ${text.slice(0, 200)}: ${result.ok ? 'sent' : result.error}`);
    client.publish(`${base}/command-result`, JSON.stringify({ command: text.slice(0, 200), ...result }), { qos: 1 });
  };
  let answered = Promise.resolve();
  const runCommand = (text) => {
    const c = parseCommand(text);
    let result;
    if (c.error) result = { ok: false, error: c.error, code: c.code };
    else if (!username || !password) result = { ok: false, error: 'refused: the connection is not authenticated', code: 'QEL_NOT_AUTHENTICATED' };
    else if (!bus) result = { ok: false, error: 'refused: no driver to run commands', code: 'QEL_BAD_COMMAND' };
    else {
      try {
        const written = Promise.resolve(COMMANDS[c.fn](bus, c.args));
        result = written.then(() => ({ ok: true }), (e) => ({ ok: false, error: e.message, code: e.code }));
      } catch (e) {
        result = { ok: false, error: e.message, code: e.code };
      }
    }
    // Each answer once its frame is on the bus (or refused), in the order
    // the commands came.
    answered = answered.then(() => result).then((r) => answer(text, r));
  };
  // A retained command is a state the broker hands to every connection,
  // not an order: run, it would go on the bus again at each reconnection.
  const refuseRetained = (text) => {
    if (refusedRetained.has(text)) return;
    if (refusedRetained.size >= REFUSED_KEPT) refusedRetained.delete(refusedRetained.values().next().value);
    refusedRetained.add(text);
    answer(text, { ok: false, error: 'refused: a retained message is no command; publish commands without the retain flag', code: 'QEL_RETAINED_COMMAND' });
  };

  // The broker's state, said once at each change: the operator learns that
  // it cannot be reached, that it was, and that it went away.
  const where = (() => { const u = new URL(o.url); return `${u.protocol}//${u.host}`; })();
  let state = 'connecting';
  let reached = false;
  let lastError = null;
  const become = (next) => {
    if (next === state || closing || refused) return;
    state = next;
    if (next === 'connected') reached = true;
    const why = lastError ? ` (${lastError.code && typeof lastError.code === 'string' ? lastError.code : lastError.message})` : '';
    const again = `trying again after pauses of up to ${o.reconnectMax / 1000} s`;
    const lost = queue.dropped - droppedAtLoss;
    if (next === 'lost') droppedAtLoss = queue.dropped;
    log({
      connected: `qel-monitor: mqtt: connected to the broker at ${where}${lost > 0 ? `; ${lost} events were dropped while it was away` : ''}`,
      unreachable: `qel-monitor: mqtt: cannot reach the broker at ${where}${why}; ${again}`,
      lost: `qel-monitor: mqtt: lost the broker at ${where}; ${again}`,
    }[next]);
    if (o.onState) o.onState(next);
  };

  client.on('connect', () => {
    lastError = null;
    tries = 0;
    if (o.commands) client.subscribe(o.commands, { qos: 1, rap: true });
    become('connected');
    tick();
  });
  client.on('message', (topic, payload, packet) => {
    if (topic !== o.commands) return;
    if (packet.retain) refuseRetained(payload.toString('utf8'));
    else runCommand(payload.toString('utf8'));
  });
  const tryAgain = () => {
    if (closing || refused || retry) return;
    retry = setTimeout(() => {
      retry = null;
      if (closing || refused || client.connected) return;
      counts.reconnects++;
      client.connect();
    }, reconnectDelay(tries++, o.reconnectFirst, o.reconnectMax));
  };
  client.on('close', () => {
    if (downgraded) downgraded = false;  // the broker is there; it takes 3.1.1 at the next try
    else become(reached ? 'lost' : 'unreachable');
    tryAgain();
  });
  client.on('error', (e) => {
    lastError = e;
    if (OLD_PROTOCOL.has(e.code) && client.options.protocolVersion === 5) {
      // The reconnection speaks 3.1.1, where a retained command published
      // while the monitor listens arrives without its flag.
      client.options.protocolVersion = 4;
      downgraded = true;
    } else if (AUTH_REFUSED.has(e.code)) {
      refused = true;
      client.end(true);
      if (o.onRefused) o.onRefused(e);
    }
  });

  if (typeof source === 'function') source(onStatus);
  else source.on('status', onStatus);
  const timer = setInterval(tick, o.interval);
  timer.unref();

  // Says goodbye on the health topic, waits for what is in flight for a
  // moment, and closes; `done` runs once either way.
  const stop = (done = () => {}) => {
    if (closing) return done();
    closing = true;
    clearInterval(timer);
    clearTimeout(retry);
    if (typeof source !== 'function') source.removeListener('status', onStatus);
    if (!client.connected) return client.end(true, {}, () => done());
    const cap = setTimeout(() => client.end(true, {}, () => done()), 2000);
    client.publish(`${base}/health`, JSON.stringify({ connected: false, reason: 'stopped' }), { qos: 1, retain: true }, () => {
      clearTimeout(cap);
      client.end(false, {}, () => done());
    });
  };
  return {
    client, counts, stop,
    get connected() { return client.connected; },
    get state() { return state; },
    get reached() { return reached; },
  };
}

module.exports = { publish, statusPayload, parseCommand, credentials, unescaped, reconnectDelay, mqttClient };
