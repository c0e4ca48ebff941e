'use strict';
// Publishes a bus's status objects to an MQTT broker, for a fleet of Pis
// watched from elsewhere: one retained topic per slot, the statistics and
// the publisher's own health, a last will. The driver never waits for the
// broker: what the broker cannot take yet waits in a bounded queue, and
// what overflows it is dropped and counted.
const fs = require('fs');
const os = require('os');

const DEFAULTS = { prefix: 'corvalith', queueLimit: 1000, interval: 1000 };
// Sent and not yet acknowledged: the client keeps these and sends them
// again after a reconnection, so they count beside the queue's bound.
const IN_FLIGHT = 32;
const COMMANDS = ['sendCommand', 'writeParameter'];
const AUTH_REFUSED = new Set([4, 5, 134, 135]);

const hexId = (id) => `0x${id.toString(16)}`;

function statusPayload(status) {
  return JSON.stringify({
    timestamp: status.timestamp, counter: status.counter, msg_id: status.msg_id,
    msg_data: Array.from(status.msg_data), driver_stats: status.driver_stats,
  });
}

// A password from the file's first line; a user and password in the URL
// otherwise.
function credentials(url, passwordFile) {
  const u = new URL(url);
  const username = decodeURIComponent(u.username) || undefined;
  let password = decodeURIComponent(u.password) || undefined;
  if (passwordFile) password = fs.readFileSync(passwordFile, 'utf8').split('\n')[0].trim();
  return { username, password };
}

// Turns a command message into the call it asks for, or says why not.
function parseCommand(text) {
  let c;
  try {
    c = JSON.parse(text);
  } catch {
    return { error: 'not JSON' };
  }
  if (!c || !COMMANDS.includes(c.fn)) return { error: `fn must be one of ${COMMANDS.join(', ')}` };
  if (!Array.isArray(c.args)) return { error: 'args must be an array' };
  const args = c.fn === 'writeParameter' && Array.isArray(c.args[1]) ? [c.args[0], Buffer.from(c.args[1]), ...c.args.slice(2)] : c.args;
  return { fn: c.fn, args };
}

// Keeps what waits for the broker: the status messages in order, at most
// `limit` of them (the oldest give way), and for the topics that hold a
// state (statistics, health) only the latest value, outside that bound.
class Queue {
  constructor(limit) {
    this.limit = limit;
    this.items = [];
    this.latest = new Map();
    this.dropped = 0;
  }
  push(topic, payload) {
    if (this.items.length >= this.limit) {
      this.items.shift();
      this.dropped++;
    }
    this.items.push({ topic, payload });
  }
  set(topic, payload) {
    this.latest.set(topic, payload);
  }
  take() {
    for (const [topic, payload] of this.latest) {
      this.latest.delete(topic);
      return { topic, payload };
    }
    return this.items.shift();
  }
  get size() {
    return this.items.length + this.latest.size;
  }
}

// source: an EventEmitter that emits 'status', or a function that takes a
// listener for the status objects. opts: url, node, prefix, passwordFile,
// queueLimit, interval (ms between statistics), driver (for the statistics
// and the commands), commands (a topic), log (a line to the operator),
// mqttOptions (passed on to mqtt.connect).
function publish(source, opts = {}) {
  const mqtt = require('mqtt');
  const o = { ...DEFAULTS };
  for (const [k, v] of Object.entries(opts)) if (v !== undefined) o[k] = v;
  const node = o.node || os.hostname();
  const base = `${o.prefix}/${node}`;
  const log = o.log || (() => {});
  const { username, password } = credentials(o.url, o.passwordFile);
  const queue = new Queue(o.queueLimit);
  const counts = { frames: 0, published: 0, get dropped() { return queue.dropped; }, get queued() { return queue.items.length; } };
  let inFlight = 0;
  let stats = null;
  let closing = false;

  const health = (connected) => JSON.stringify({ connected, frames: counts.frames, published: counts.published, drops: queue.dropped, queued: queue.items.length });
  const client = mqtt.connect(o.url, {
    username, password, clean: true, reconnectPeriod: 1000, connectTimeout: 5000, queueQoSZero: false,
    will: { topic: `${base}/health`, payload: JSON.stringify({ connected: false }), qos: 1, retain: true },
    ...o.mqttOptions,
  });

  const pump = () => {
    while (client.connected && inFlight < IN_FLIGHT && queue.size > 0) {
      const m = queue.take();
      inFlight++;
      client.publish(m.topic, m.payload, { qos: 1, retain: true }, () => {
        inFlight--;
        counts.published++;
        pump();
      });
    }
  };
  const onStatus = (status) => {
    counts.frames++;
    stats = status.driver_stats;
    queue.push(`${base}/status/${hexId(status.msg_id)}`, statusPayload(status));
    pump();
  };
  const tick = () => {
    if (o.driver) stats = o.driver.readStatus(0xffd).driver_stats;
    if (stats) queue.set(`${base}/stats`, JSON.stringify(stats));
    queue.set(`${base}/health`, health(true));
    pump();
  };
  const runCommand = (text) => {
    const c = parseCommand(text);
    let result;
    if (c.error) result = { ok: false, error: c.error };
    else if (!username || !password) result = { ok: false, error: 'refused: the connection is not authenticated' };
    else {
      try {
        o.driver[c.fn](...c.args);
        result = { ok: true };
      } catch (e) {
        result = { ok: false, error: e.message };
      }
    }
    log(`qel-monitor: mqtt command on ${o.commands}: ${text.slice(0, 200)}: ${result.ok ? 'sent' : result.error}`);
    client.publish(`${base}/command-result`, JSON.stringify({ command: text.slice(0, 200), ...result }), { qos: 1 });
  };

  client.on('connect', () => {
    if (o.commands) client.subscribe(o.commands, { qos: 1 });
    tick();
  });
  client.on('message', (topic, payload) => {
    if (topic === o.commands) runCommand(payload.toString('utf8'));
  });
  client.on('error', (e) => {
    if (AUTH_REFUSED.has(e.code)) {
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
    if (typeof source !== 'function') source.removeListener('status', onStatus);
    if (!client.connected) return client.end(true, {}, () => done());
    const cap = setTimeout(() => client.end(true, {}, () => done()), 2000);
    client.publish(`${base}/health`, JSON.stringify({ connected: false, reason: 'stopped' }), { qos: 1, retain: true }, () => {
      clearTimeout(cap);
      client.end(false, {}, () => done());
    });
  };
  return { client, counts, stop, get connected() { return client.connected; } };
}

module.exports = { publish, statusPayload, parseCommand, credentials };
