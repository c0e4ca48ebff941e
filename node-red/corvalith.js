'use strict';
// The bus in Node-RED: a configuration node that holds one driver object
// (open()) for the flows, an input node that turns every status object into
// a message and an output node that sends commands and parameter writes.
// The driver is one per process, like the bus: the configuration node opens
// it when the first node that uses it starts, and closes it when the flows
// stop or are deployed anew, so that the next deployment can open it again.

// The package by its own name, so that this folder finds the flavours
// wherever the package puts them.
const FLAVOURS = { sim: 'corvalith/sim', 'i2c-dev': 'corvalith/i2c-dev', bcm2835: 'corvalith' };
const DELAYS = ['i2cDelay', 'canBusDelay', 'heartbeat', 'debounce'];
const ID_LISTS = ['enabledIds', 'cyclicIds'];
const PARAMETER_FIELDS = ['number', 'value'];

const hexId = (id) => `0x${id.toString(16)}`;
const withCode = (e) => (e && e.code ? `${e.message} (${e.code})` : String(e && e.message ? e.message : e));

function codedError(Type, code, text) {
  const err = new Type(`QEL Driver -- ${text}`);
  err.code = code;
  return err;
}

// The editor keeps every field as text: a number where the text is one,
// else the text itself, for open()'s checks to refuse by name.
function fromText(text) {
  const n = Number(text);
  return Number.isNaN(n) ? text : n;
}

// open()'s options from the configuration node's fields; an empty field
// leaves the option at its default.
function openOptions(config, logger) {
  const options = {};
  for (const name of DELAYS) {
    const text = String(config[name] ?? '').trim();
    if (text !== '') options[name] = fromText(text);
  }
  for (const name of ID_LISTS) {
    const words = String(config[name] ?? '').split(/[\s,]+/).filter((w) => w !== '');
    if (words.length > 0) options[name] = words.map(fromText);
  }
  if (config.debug === true || config.debug === 'true') options.debug = true;
  if (config.logPath) options.logPath = config.logPath;
  if (config.console === 'stdout') options.console = 'stdout';
  else if (config.console === 'off') options.console = false;
  else options.console = logger;
  return options;
}

// A driver console line to the Node-RED log at its own level.
function nodeLogger(node) {
  const by = { debug: 'debug', info: 'log', warn: 'warn', error: 'error' };
  return (line, level) => node[by[level] || 'log'](line);
}

module.exports = function register(RED) {
  function BusNode(config) {
    RED.nodes.createNode(this, config);
    const node = this;
    node.flavour = config.flavour || 'sim';
    node.bus = null;
    node.failure = null;
    const users = new Set();
    const opened = { fill: 'green', shape: 'dot', text: `open (${node.flavour})` };
    let shown = { fill: 'grey', shape: 'ring', text: 'not open' };
    const show = (state) => {
      shown = state;
      for (const user of users) user.status(state);
    };

    const open = () => {
      const entry = FLAVOURS[node.flavour];
      try {
        if (!entry) throw codedError(TypeError, 'QEL_BAD_OPTION', `Unknown flavour '${node.flavour}'; the flavours are ${Object.keys(FLAVOURS).join(', ')}`);
        const bus = require(entry).open(openOptions(config, nodeLogger(node)));
        bus.on('error', (e) => node.error(withCode(e)));
        bus.on('bridgeDown', () => show({ fill: 'red', shape: 'ring', text: 'bridge not answering' }));
        bus.on('bridgeUp', () => show(opened));
        node.bus = bus;
        show(opened);
      } catch (e) {
        node.failure = e;
        node.error(withCode(e));
        show({ fill: 'red', shape: 'ring', text: e.code || 'failed' });
      }
    };

    // The bus for a node that starts using it, or null when it cannot open.
    node.attach = (user) => {
      users.add(user);
      if (!node.bus && !node.failure) open();
      else user.status(shown);
      return node.bus;
    };
    node.detach = (user) => users.delete(user);

    node.on('close', (done) => {
      users.clear();
      const bus = node.bus;
      node.bus = null;
      if (!bus) return done();
      return bus.close().then(() => done(), (e) => { node.error(withCode(e)); done(); });
    });
  }
  RED.nodes.registerType('corvalith bus', BusNode);

  // Every status object as a message: the slot as msg.topic ("0x1a1"), the
  // status object as msg.payload.
  function InputNode(config) {
    RED.nodes.createNode(this, config);
    const node = this;
    const cfg = RED.nodes.getNode(config.bus);
    if (!cfg) {
      node.status({ fill: 'red', shape: 'ring', text: 'no bus configured' });
      return;
    }
    const bus = cfg.attach(node);
    const onStatus = (status) => node.send({ topic: hexId(status.msg_id), payload: status });
    if (bus) bus.on('status', onStatus);
    node.on('close', () => {
      cfg.detach(node);
      if (bus) bus.off('status', onStatus);
    });
  }
  RED.nodes.registerType('corvalith', InputNode);

  // What a message asks for: a parameter write when msg.topic is
  // "writeParameter" (msg.payload { number, value }), else a command
  // (msg.payload the fields of send()).
  function perform(bus, msg) {
    if (msg.topic !== 'writeParameter') return bus.send(msg.payload);
    const p = msg.payload;
    if (p === null || typeof p !== 'object' || Array.isArray(p)) {
      throw codedError(TypeError, 'QEL_BAD_COMMAND', 'A parameter write expects msg.payload { number, value }');
    }
    const unknown = Object.keys(p).find((k) => !PARAMETER_FIELDS.includes(k));
    if (unknown !== undefined) {
      throw codedError(TypeError, 'QEL_BAD_COMMAND', `Unknown parameter write field '${unknown}'; the fields are ${PARAMETER_FIELDS.join(', ')}`);
    }
    return bus.writeParameter(p.number, p.value === undefined ? [] : p.value);
  }

  function OutputNode(config) {
    RED.nodes.createNode(this, config);
    const node = this;
    const cfg = RED.nodes.getNode(config.bus);
    const bus = cfg ? cfg.attach(node) : null;
    if (!cfg) node.status({ fill: 'red', shape: 'ring', text: 'no bus configured' });
    // A message is done once its frame is on the bus, or with the reason
    // it is not: a bad message at once, a refused write when the bus says so.
    node.on('input', async (msg, send, done) => {
      try {
        if (!bus) throw cfg && cfg.failure ? cfg.failure : codedError(Error, 'QEL_CLOSED', 'No bus is open for this node');
        await perform(bus, msg);
        done();
      } catch (e) {
        done(withCode(e));
      }
    });
    node.on('close', () => {
      if (cfg) cfg.detach(node);
    });
  }
  RED.nodes.registerType('corvalith out', OutputNode);
};
