'use strict';
// Bad input at the JavaScript surface: a generated campaign of random
// argument lists against the eight driver functions and every `bridge`
// method, before and after driverStart. Every call must either succeed or
// throw a TypeError with exactly the text that the order of checks gives
// for that argument list; user code (getters, valueOf, proxy traps) must
// never leak an exception; rejected calls change no slot, no setting, write
// nothing and print nothing; and the driver delivers normally afterwards.
//
// The generator is seeded: the seed is printed, and QEL_SEED=<seed> repeats
// a run exactly.
const { describe, test } = require('node:test');
const assert = require('node:assert/strict');
const { msg, VERSION } = require('../helpers/catalogue');
const { transmitFrame } = require('../helpers/frames');
const { blocks, runScenario } = require('../helpers/scenario');

const SEED = (Number(process.env.QEL_SEED) >>> 0) || (((Date.now() * 2654435761) ^ process.pid) >>> 0) || 1;
console.log(`# bad-input campaign seed ${SEED} (run again with QEL_SEED=${SEED})`);

// ---------------------------------------------------------------- campaign
//
// Runs inside the child (its source is sent with the scenario), so it uses
// nothing from this file's scope.
function campaignLib(qel, bridge, msg, MSG, seed) {
  const { types } = require('util');

  // xorshift32
  let state = seed >>> 0 || 1;
  const rnd = () => {
    state ^= state << 13; state >>>= 0;
    state ^= state >>> 17;
    state ^= state << 5; state >>>= 0;
    return state / 4294967296;
  };
  const int = (n) => Math.floor(rnd() * n);
  const pick = (list) => list[int(list.length)];
  const chance = (p) => rnd() < p;

  // --------------------------------------------------------------- values
  // Every value comes with a label, so that a failure can be described
  // without touching the value (whose toString may throw).
  const USER = 'user code ran: ';
  const thrower = (what) => function () { throw new Error(USER + what); };
  const TRAPS = ['get', 'set', 'has', 'deleteProperty', 'ownKeys', 'getOwnPropertyDescriptor', 'defineProperty',
    'getPrototypeOf', 'setPrototypeOf', 'isExtensible', 'preventExtensions', 'apply', 'construct'];
  const trapAll = (target) => new Proxy(target, Object.fromEntries(TRAPS.map((t) => [t, thrower(`proxy ${t}`)])));
  const bytes = (n) => {
    const b = Buffer.alloc(n);
    for (let i = 0; i < n; i++) b[i] = int(256);
    return b;
  };
  const numLabel = (v) => (Object.is(v, -0) ? '-0' : String(v));

  const IDS = [0x1a1, 0x2a1, 0x3a1, 0x421, 0x4a1, 0x2a2, 0x2c0, 0x2c1, 0x2c4, 0x2c5, 0x2c8, 0x2c9, 0x4e0,
    0x700, 0x760, 0x7ff, 0xfff, 0xffe, 0xffd, 0x123, 0x800, 0, -1];
  const NUMBERS = [0, -0, 1, -1, 2, 0.5, -0.5, 1.5, -1.5, 3.9, 255, 256, -5, 999, 0x1a1, NaN, Infinity, -Infinity,
    2 ** 31, 2 ** 31 - 1, -(2 ** 31), -(2 ** 31) - 1, 2 ** 32, 2 ** 32 + 1, 2 ** 32 - 1, 2 ** 53, -(2 ** 53),
    1e300, -1e300, 5e-324, Number.MAX_VALUE, Number.EPSILON];
  const numberValue = () => {
    if (chance(0.5)) return pick(NUMBERS);
    if (chance(0.5)) return pick(IDS) + (chance(0.2) ? pick([0.25, -0.75, 2 ** 32, -(2 ** 32)]) : 0);
    return (rnd() - 0.5) * 2 ** int(70);
  };
  const num = () => { const v = numberValue(); return { v, d: numLabel(v) }; };
  const id = () => { const v = pick(IDS); return { v, d: numLabel(v) }; };
  const of = (v, d) => ({ v, d });
  const idArray = () => Array.from({ length: int(16) }, () => pick(IDS));

  const OTHERS = [
    ['0n', () => 0n], ['1n', () => 1n], ['-1n', () => -1n], ['2n**64n', () => 2n ** 64n],
    ["''", () => ''], ["'0'", () => '0'], ["'1'", () => '1'], ["'15'", () => '15'], ["'0x1a1'", () => '0x1a1'],
    ["'3.5'", () => '3.5'], ["'NaN'", () => 'NaN'], ["' 42 '", () => ' 42 '], ["'abc'", () => 'abc'],
    ["'x' x 1000", () => 'x'.repeat(1000)],
    ['null', () => null], ['undefined', () => undefined], ['true', () => true], ['false', () => false],
    ['Symbol()', () => Symbol('q')], ['Symbol.iterator', () => Symbol.iterator],
    ['[]', () => []], ['array of identifiers', idArray], ['array of 15 bytes', () => [...bytes(15)]],
    ['array with holes', () => { const a = [, , pick(IDS)]; a[7] = pick(IDS); return a; }],
    ['sparse array of length 10000', () => { const a = []; a[3] = 0x2c0; a[9999] = 0x1a1; return a; }],
    ['array with a throwing element getter', () => {
      const a = [0x1a1, 0x2a1, 0x4a1];
      Object.defineProperty(a, 1, { get: thrower('element getter'), enumerable: true });
      return a;
    }],
    ['array of throwing conversions', () => [{ valueOf: thrower('valueOf') }, { [Symbol.toPrimitive]: thrower('toPrimitive') },
      { toString: thrower('toString'), valueOf: thrower('valueOf') }, Symbol('s'), 1n, 0x4a1]],
    ['array over a throwing prototype', () => { const a = [, 0x1a1, , 0x2c1]; Object.setPrototypeOf(a, trapAll([])); return a; }],
    ['array of proxies', () => [trapAll({}), trapAll([]), 0x2a1]],
    ['nested array', () => [[0x1a1], [[0x2a1]]]],
    ['Uint8Array', () => new Uint8Array(int(21))], ['Int8Array(15)', () => new Int8Array(15)],
    ['Uint8ClampedArray(15)', () => new Uint8ClampedArray(15)], ['Uint16Array', () => new Uint16Array(int(11))],
    ['Int32Array', () => new Int32Array(int(6))], ['Float32Array', () => new Float32Array(int(6))],
    ['Float64Array', () => new Float64Array(int(4))], ['BigInt64Array(2)', () => new BigInt64Array(2)],
    ['DataView', () => new DataView(new ArrayBuffer(int(21)))],
    ['DataView(15) at an offset', () => new DataView(new ArrayBuffer(32), 7, 15)],
    ...Array.from({ length: 21 }, (_, n) => [`Buffer(${n})`, () => bytes(n)]),
    ['Buffer view at an offset', () => { const o = int(10); return bytes(40).subarray(o, o + int(21)); }],
    ['ArrayBuffer(15)', () => new ArrayBuffer(15)], ['SharedArrayBuffer(15)', () => new SharedArrayBuffer(15)],
    ['{}', () => ({})], ['{ length: 15 }', () => ({ length: 15 })], ['array-like', () => ({ 0: 0x1a1, length: 1 })],
    ['Object.create(null)', () => Object.create(null)], ['{ valueOf: 5 }', () => ({ valueOf: () => 5 })],
    ["{ toString: '7' }", () => ({ toString: () => '7' })],
    ['object with throwing getters', () => Object.defineProperties({}, {
      length: { get: thrower('getter length'), enumerable: true },
      0: { get: thrower('getter 0'), enumerable: true },
      valueOf: { get: thrower('getter valueOf') },
      toString: { get: thrower('getter toString') },
    })],
    ['throwing valueOf', () => ({ valueOf: thrower('valueOf') })],
    ['throwing toString', () => ({ toString: thrower('toString') })],
    ['throwing Symbol.toPrimitive', () => ({ [Symbol.toPrimitive]: thrower('toPrimitive') })],
    ['new Number(5)', () => new Number(5)], ["new String('5')", () => new String('5')],
    ['new Boolean(true)', () => new Boolean(true)], ['Object(1n)', () => Object(1n)],
    ['Object(Symbol())', () => Object(Symbol('o'))],
    ['Date', () => new Date(0)], ['RegExp', () => /x/], ['Map', () => new Map([[1, 2]])], ['Set', () => new Set([1])],
    ['Promise', () => Promise.resolve(1)], ['TypeError object', () => new TypeError('not thrown')],
    ['proxy of {}', () => trapAll({})], ['proxy of []', () => trapAll([])],
    ['proxy of a 15-byte Buffer', () => trapAll(bytes(15))], ['proxy of a function', () => trapAll(function () {})],
    ['arrow function', () => () => {}], ['throwing function', () => thrower('callback')], ['class', () => class {}],
    ['bound function', () => Math.max.bind(null, 1)], ['async function', () => async () => {}],
    ['generator function', () => function* () {}], ['Math.max', () => Math.max], ['qel.readStatus', () => qel.readStatus],
    ['function with a throwing length', () => Object.defineProperty(() => {}, 'length', { get: thrower('fn length') })],
  ];
  const FUNCTIONS = OTHERS.filter(([, make]) => typeof make() === 'function');
  const other = () => { const [d, make] = pick(OTHERS); return { v: make(), d }; };
  const any = () => (chance(0.35) ? num() : other());
  const anyList = (max = 8) => Array.from({ length: pick([0, 0, 1, 1, 1, 2, 2, 3, int(max + 1)]) }, any);
  const buf = (lo, hi) => { const n = lo + int(hi - lo + 1); return of(bytes(n), `Buffer(${n})`); };
  const bool = () => { const v = chance(0.5); return of(v, String(v)); };
  const fn = () => { const [d, make] = pick(FUNCTIONS); return of(make(), d); };
  const flag = () => { const v = pick([-1, -1, 0, 1, 1, 2, 255, 256, -5, 42, 300, 2 ** 32 + 1, 0.5, 1.9]); return of(v, numLabel(v)); };
  const or = (p, good, bad = any) => (chance(p) ? good() : bad());
  const fifteen = () => pick([
    () => buf(15, 15), () => buf(15, 15), () => buf(13, 17),
    () => of(new Uint8Array(15), 'Uint8Array(15)'), () => of(new DataView(new ArrayBuffer(32), 7, 15), 'DataView(15) at an offset'),
    () => of(bytes(30).subarray(9, 24), 'Buffer(15) at an offset'), () => of(new Uint16Array(8), 'Uint16Array(8)'),
  ])();
  const identifierArray = () => pick([
    () => of(idArray(), 'array of identifiers'), () => of([], '[]'),
    () => { const [d, make] = pick(OTHERS.filter(([label]) => /array/.test(label) && !/Uint|Int|Float|Big|Buffer|Data/.test(label))); return of(make(), d); },
  ])();
  const U = () => of(undefined, 'undefined');

  // Argument lists that come near the accepted shapes, mixed with wholly
  // random ones.
  const shaped = {
    registerCallback: () => [fn(), ...anyList(2)],
    driverStart: () => {
      const n = pick([7, 7, 7, 7, 6, 8]);
      return Array.from({ length: n }, (_, i) => {
        if (chance(0.2)) return U();
        if (!chance(0.8)) return any();
        if (i < 4) return num();
        if (i < 6) return identifierArray();
        return bool();
      });
    },
    sendCommand: () => {
      const n = pick([0, 1, 1, 2, 3, 4, 5, 5, 5, 6]);
      const list = Array.from({ length: n }, (_, i) => (i === 0 ? or(0.9, num) : or(0.9, flag)));
      if (n === 5 && chance(0.3)) { list[1] = of(1, '1'); list[4] = pick([() => of(255, '255'), () => of(256, '256'), () => of(-5, '-5'), id])(); }
      return list;
    },
    writeParameter: () => {
      const n = pick([0, 1, 2, 2, 2, 2, 3]);
      return Array.from({ length: n }, (_, i) => (i === 0 ? or(0.9, num) : or(0.7, () => buf(0, 9), () => or(0.3, fifteen))));
    },
    readStatus: () => Array.from({ length: pick([0, 1, 1, 1, 1, 2]) }, () => or(0.8, () => or(0.5, id, num))),
    simulate: () => Array.from({ length: pick([0, 1, 1, 1, 1, 2]) }, () => or(0.75, fifteen)),
    clearMem: () => {
      const n = pick([0, 1, 2, 2, 2, 2, 3]);
      return Array.from({ length: n }, (_, i) => (i === 0 ? or(0.85, bool) : or(0.8, () => pick([U, id, num])())));
    },
    getVersion: () => anyList(),
  };
  const faults = () => Array.from({ length: pick([1, 2, 2, 2, 3]) }, () => or(0.7, () => pick([0, 1, 2, 5, 256, 0.5, -1].map((v) => () => of(v, numLabel(v))))()));
  const bridgeShaped = {
    reset: () => [], pending: () => [], writes: () => [], reads: () => [], state: () => [], now: () => [],
    receive: () => Array.from({ length: pick([0, 1, 1, 2, 2, 2, 3]) },
      (_, i) => (i === 0 ? or(0.8, () => buf(14, 18)) : or(0.6, () => pick([U, () => of(0, '0'), () => of(1, '1'), () => of(3, '3')])(), num))),
    failReads: () => faults(),
    failWrites: () => faults(),
    failSelect: () => Array.from({ length: pick([0, 1, 1, 1, 2]) }, () => or(0.7, () => pick([0, 1, 4, 255, 256, -1, 1.5].map((v) => () => of(v, numLabel(v))))())),
    baudReadback: () => Array.from({ length: pick([0, 1, 1, 1, 2]) }, () => or(0.7, () => or(0.5,
      () => of(Array.from({ length: int(4) }, () => pick([0x0e, 0x0f, 0, 255, 256, -1, 0.5])), 'array of read-back values'),
      identifierArray))),
    failInit: () => Array.from({ length: pick([0, 1, 1, 1, 2]) }, () => or(0.7, bool)),
    busSpeed: () => Array.from({ length: pick([0, 1, 1, 1, 2]) }, () => or(0.8, num)),
  };
  const DRIVER = Object.keys(shaped);
  const BRIDGE = Object.keys(bridgeShaped);

  // A clock slower than 10 MHz would hold every transfer for up to minutes,
  // and a read fault counted in the millions would keep the receive thread
  // spinning; such values are moved to still valid but harmless ones.
  function tame(name, pairs) {
    const a = pairs[0];
    if (!a || typeof a.v !== 'number') return pairs;
    if (name === 'busSpeed' && a.v > 0 && a.v < 1e7) pairs[0] = of(a.v + 1e7, `${a.d} + 1e7`);
    if (name === 'failReads' && a.v >= 1000 && Number.isFinite(a.v)) pairs[0] = of(a.v % 1000, `${a.d} % 1000`);
    return pairs;
  }

  // ------------------------------------------------------------ the model
  // Each function's checks in the order the driver makes them, decided from
  // the argument list alone (nothing here runs user code): the first that
  // holds names the refusal. A list that passes them all is accepted, and
  // may still fail at run time with the messages of RUNTIME.
  const isNum = (v) => typeof v === 'number';
  const isBuf = (v) => ArrayBuffer.isView(v);
  const isArr = (v) => Array.isArray(v) && !types.isProxy(v);
  const isBool = (v) => typeof v === 'boolean';
  const notStarted = (name) => [(a, st) => !st.started, name];
  const count = (fails, name) => [(a) => fails(a.length), name];
  const CHECKS = {
    registerCallback: [[(a) => typeof a[0] !== 'function', 'EXPECTED_FUNCTION']],
    getVersion: [],
    driverStart: [
      [(a, st) => !st.hasCallback, 'NO_CALLBACK'], [(a, st) => st.started, 'ALREADY_STARTED'], count((n) => n !== 7, 'EXPECTED_7_ARGS'),
      ...[isNum, isNum, isNum, isNum, isArr, isArr, isBool].map((ok, i) => [(a) => a[i] !== undefined && !ok(a[i]), `START_ARG${i + 1}`]),
    ],
    sendCommand: [
      notStarted('NOT_STARTED_COMMAND'), count((n) => n > 5, 'AT_MOST_5'),
      ...[1, 2, 3, 4, 5].map((k) => [(a) => (k === 1 || k <= a.length) && !isNum(a[k - 1]), `INT_ARG${k}`]),
      [(a) => (a[0] | 0) > 255, 'BAD_TFT'],
      [(a) => a.length > 1 && (a[1] | 0) === 1 && (a.length > 4 ? a[4] | 0 : -1) >>> 0 > 255, 'BAD_PARAM_NUM'],
    ],
    writeParameter: [
      notStarted('NOT_STARTED_COMMAND'), count((n) => n > 2, 'AT_MOST_2'), [(a) => !isNum(a[0]), 'INT_ARG1'],
      [(a) => a.length === 2 && !isBuf(a[1]), 'BUFFER_ARG2'], [(a) => a.length === 2 && a[1].byteLength > 7, 'AT_MOST_7_BYTES'],
      [(a) => (a[0] | 0) >>> 0 > 255, 'BAD_WRITE_PARAM_NUM'],
    ],
    readStatus: [notStarted('NOT_STARTED_READ'), count((n) => n > 1, 'AT_MOST_1'), [(a) => !isNum(a[0]), 'INT_ARG1']],
    simulate: [
      notStarted('NOT_STARTED_SIMULATE'), count((n) => n > 1, 'AT_MOST_1'), [(a) => !isBuf(a[0]), 'BUFFER_ARG1'],
      [(a) => a[0].byteLength !== 15, 'BUFFER_15'],
    ],
    clearMem: [
      notStarted('NOT_STARTED_SIMULATE'), count((n) => n !== 2, 'EXPECTED_2_ARGS'), [(a) => !isBool(a[0]), 'BOOL_ARG1'],
      [(a) => a[1] !== undefined && !isNum(a[1]), 'NUMBER_ARG2'],
    ],
  };
  const RUNTIME = { sendCommand: ['SEND_FAILED'], writeParameter: ['PARAM_FAILED'] };
  // { reject: NAME } or { accept: [runtime failures] }; `starts` for a
  // driverStart that passes its checks.
  function model(name, a, st) {
    const failed = CHECKS[name].find(([fails]) => fails(a, st));
    if (failed) return { reject: failed[1] };
    if (name !== 'driverStart') return { accept: RUNTIME[name] || [] };
    return st.startFails ? { reject: 'START_FAILED', starts: true } : { accept: [], starts: true };
  }

  // The settings a start-up applies, followed through every start that
  // passes its checks, to predict the banner that start prints.
  const PDO = [0x1a1, 0x2a1, 0x3a1, 0x421, 0x4a1, 0x2a2, 0x2c0, 0x2c1, 0x2c4, 0x2c5, 0x2c8, 0x2c9, 0x4e0];
  const settings = {
    delays: [50000, 20000, 500000, 2000],
    enabled: [1, 1, 1, 0, 1, 1, 1, 1, 1, 1, 1, 1, 0],
    cyclic: [1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0],
  };
  function table(array) {
    const t = Array(13).fill(0);
    for (let i = 0; i < array.length; i++) {
      let present = false;
      try { present = i in array; } catch { present = false; }
      if (!present) continue;
      let v = 0;
      try { v = array[i] | 0; } catch { v = 0; }
      const pos = PDO.indexOf(v >>> 0);
      if (pos >= 0) t[pos] = 1;
    }
    return t;
  }
  function applyStart(a) {
    for (let i = 0; i < 4; i++) if (a[i] !== undefined) settings.delays[i] = a[i] | 0;
    if (a[4] !== undefined) settings.enabled = table(a[4]);
    if (a[5] !== undefined) settings.cyclic = table(a[5]);
    return [
      msg('STARTING', ...settings.delays),
      msg('LISTENING_PREFIX') + PDO.map((x, p) => (settings.enabled[p] ? msg('LISTENING_ENTRY', x, settings.cyclic[p]) : '')).join(''),
    ];
  }

  // ------------------------------------------------------------ the runner
  const MAX_KEPT = 25;
  const report = { calls: 0, skipped: 0, byFunction: {}, seen: {}, violations: [], violationCount: 0, runs: [] };
  const describeCall = (target, name, pairs) => `${target}.${name}(${pairs.map((p) => p.d).join(', ')})`;
  function violation(text) {
    report.violationCount++;
    if (report.violations.length < MAX_KEPT) report.violations.push(text);
  }
  function tally(name, outcome) {
    const f = (report.byFunction[name] = report.byFunction[name] || { ok: 0, rejected: 0 });
    if (outcome === 'ok') f.ok++; else f.rejected++;
    (report.seen[name] = report.seen[name] || {})[outcome] = true;
  }
  const errorText = (e) => {
    try { return `${e && e.constructor && e.constructor.name}: ${e && e.message}`; } catch { return 'an unprintable exception'; }
  };

  // One call of a driver function, checked against the model. Returns the
  // model's verdict.
  function callDriver(name, pairs, st, { skipAccepted = false } = {}) {
    const args = pairs.map((p) => p.v);
    const expect = model(name, args, st);
    if (skipAccepted && expect.accept) { report.skipped++; return expect; }
    let banner = null;
    if (expect.starts) {
      if (st.startFails) bridge.failInit(true);
      banner = applyStart(args);
      report.runs.push(banner);
      console.log(`#run ${report.runs.length - 1}`);
    }
    report.calls++;
    let threw = false;
    let error;
    let returned;
    try { returned = qel[name](...args); } catch (e) { threw = true; error = e; }
    const what = describeCall('qel', name, pairs);
    if (!threw) {
      if (expect.reject) {
        violation(`${what} returned; expected TypeError "${MSG[expect.reject]}"`);
        return expect;
      }
      tally(name, 'ok');
      if (name === 'registerCallback') st.hasCallback = true;
      if (expect.starts) st.started = true;
      if (name === 'getVersion' && returned !== VERSION) violation(`${what} returned ${String(returned)}`);
      else if (name === 'readStatus') {
        const keys = returned && typeof returned === 'object' ? Object.keys(returned).join() : String(returned);
        if (keys !== 'timestamp,counter,msg_id,msg_data,driver_stats') violation(`${what} returned an object with keys ${keys}`);
      } else if (name !== 'getVersion' && returned !== undefined) violation(`${what} returned ${typeof returned}`);
      return expect;
    }
    const isType = error instanceof TypeError;
    const message = isType ? error.message : undefined;
    const allowed = expect.reject ? [expect.reject] : expect.accept;
    const hit = allowed.find((m) => MSG[m] === message);
    if (!isType || hit === undefined) {
      const leaked = error && typeof error.message === 'string' && error.message.startsWith(USER) ? ' (an exception of user code escaped)' : '';
      violation(`${what} threw ${errorText(error)}${leaked}; expected ${allowed.length ? allowed.map((m) => `"${MSG[m]}"`).join(' or ') : 'success'}`);
      return expect;
    }
    tally(name, hit);
    return expect;
  }

  function callBridge(name, pairs) {
    pairs = tame(name, pairs);
    report.calls++;
    const what = describeCall('bridge', name, pairs);
    try {
      bridge[name](...pairs.map((p) => p.v));
      tally(`bridge.${name}`, 'ok');
    } catch (e) {
      const ok = e instanceof TypeError && typeof e.message === 'string' && e.message.startsWith(`bridge.${name}: `);
      if (!ok) {
        const leaked = e && typeof e.message === 'string' && e.message.startsWith(USER) ? ' (an exception of user code escaped)' : '';
        return violation(`${what} threw ${errorText(e)}${leaked}; expected success or a TypeError "bridge.${name}: ..."`);
      }
      tally(`bridge.${name}`, 'rejected');
    }
  }

  function randomDriverCall() {
    const name = pick(DRIVER);
    return [name, chance(0.6) ? shaped[name]() : anyList()];
  }

  // `calls` random calls; with `bridgeToo` a quarter of them go to bridge
  // methods. Yields to the event loop now and then so that deliveries run.
  async function run({ calls, st, bridgeToo = false, noCallbackFirst = 0, resetEvery = 0 }) {
    for (let i = 0; i < calls; i++) {
      if (bridgeToo && chance(0.25)) {
        const name = pick(BRIDGE);
        callBridge(name, chance(0.7) ? bridgeShaped[name]() : anyList());
      } else {
        let [name, pairs] = randomDriverCall();
        while (i < noCallbackFirst && name === 'registerCallback') [name, pairs] = randomDriverCall();
        callDriver(name, pairs, st);
      }
      if (resetEvery && i % resetEvery === resetEvery - 1) bridge.reset();
      if (i % 100 === 99) await new Promise((r) => setImmediate(r));
    }
  }

  // Only calls that the model rejects, each checked, the others skipped.
  async function runRejected({ calls, st, every, check }) {
    let made = 0;
    while (made < calls) {
      const [name, pairs] = randomDriverCall();
      const before = report.calls;
      callDriver(name, pairs, st, { skipAccepted: true });
      if (report.calls === before) continue;
      made++;
      if (made % every === 0) await check(made);
    }
  }

  // A function that is not a function, for registerCallback.
  const nonFunction = () => { let p; do p = any(); while (typeof p.v === 'function'); return p; };

  return { run, runRejected, report, settings, nonFunction, callDriver, model };
}

// ------------------------------------------------------------ child side

const DEFAULT_ENABLED = [0x1a1, 0x2a1, 0x3a1, 0x4a1, 0x2a2, 0x2c0, 0x2c1, 0x2c4, 0x2c5, 0x2c8, 0x2c9];
const DEFAULT_CYCLIC = [0x1a1, 0x3a1];

// Shared by the children: the campaign, a checking callback, and `health`,
// which clears the table and then feeds one frame at a time: every class of
// slot (cyclic, debounced, event, disabled) and every statistic, so that
// the tables, the debounce window and the delivery all show whether they
// are as the start left them; then a command and a parameter write.
const CHILD = (seed) => `
const lib = (${campaignLib.toString()})(qel, bridge, msg, MSG, ${seed});
const got = [];
const checker = (s) => got.push([s.msg_id, s.msg_data[0], s.counter]);
const U = undefined;
const mark = (label) => console.log('#' + label);
const isTransmit = (w) => w.bytes.length === 17 && w.bytes[0] === 0x30 && !(w.bytes[3] === 0x07 && w.bytes[4] === 0x60);
async function feed(f) {
  const r0 = bridge.reads();
  bridge.receive(f);
  await until(() => bridge.pending() === 0 && bridge.reads() >= r0 + 2);
  await wait(15);
}
async function health() {
  bridge.reset();
  bridge.busSpeed(0);
  qel.registerCallback(checker);
  // Refused registrations keep the checking callback.
  for (let i = 0; i < 200; i++) { try { qel.registerCallback(lib.nonFunction().v); } catch {} }
  await wait(30);
  mark('health');
  qel.clearMem(false, U);
  got.length = 0;
  const frames = [
    frame(0x1a1, [1]), frame(0x1a1, [1]), frame(0x1a1, [2]),   // cyclic: first, unchanged, changed
    frame(0x2c0, [3, 0, 0, 9]), frame(0x2c0, [3, 0, 0, 8]), frame(0x2c0, [4]), // debounced: first, same bytes 0-2 at once, changed
    frame(0x4a1, [5]), frame(0x4a1, [5]),                       // event: twice
    frame(0x421, [6]), frame(0x4e0, [7]),                       // disabled
    frame(0x760, [8]), frame(0x123, [9]), frame(0x2c4, [10], { badChecksum: true }), frame(0x1a1, [], { len: 0xff }),
  ];
  const r0 = bridge.reads();
  for (const f of frames) await feed(f);
  const polls = bridge.reads() - r0;
  const slots = Object.fromEntries([0x1a1, 0x2c0, 0x4a1, 0x421, 0x4e0, 0x2c4].map((id) => {
    const s = qel.readStatus(id);
    return [id.toString(16), [s.msg_id, s.msg_data[0], s.counter]];
  }));
  const stats = qel.readStatus(0x123).driver_stats;
  const before = bridge.writes().filter(isTransmit).length;
  qel.sendCommand(0x5a);
  qel.writeParameter(7, Buffer.from([1, 2]));
  const sent = bridge.writes().filter(isTransmit).slice(before).map((w) => [w.bytes.toString('hex'), w.code]);
  mark('health-end');
  return { got: got.slice(), slots, stats: { hb: stats.hb, unk: stats.unk, err: stats.err, emptyAtLeast: stats.empty >= 1 }, polls, sent };
}
`;

const transmitHex = (idHigh, idLow, data) => transmitFrame(idHigh, idLow, data).toString('hex');

// What health() must see on a driver started with can_bus_delay 1000 us,
// deb_delay 2000 ms and the default tables.
const HEALTHY = {
  got: [[0x1a1, 1, 1], [0x1a1, 2, 3], [0x2c0, 3, 1], [0x2c0, 4, 3], [0x4a1, 5, 1], [0x4a1, 5, 2]],
  slots: { '1a1': [0x1a1, 2, 3], '2c0': [0x2c0, 4, 3], '4a1': [0x4a1, 5, 2], 421: [0, 0, 0], '4e0': [0, 0, 0], '2c4': [0, 0, 0] },
  stats: { hb: 1, unk: 1, err: 1, emptyAtLeast: true },
  sent: [[transmitHex(0x04, 0xe0, [0x5a]), 0], [transmitHex(0x05, 0x60, [7, 1, 2]), 0]],
};
// The lines of the command and the parameter write of health().
const HEALTH_LINES = [msg('CMD_TFT', 0x5a), msg('CMD_SENT'), msg('PARAM_NUM', 7), msg('PARAM_WRITTEN')];

function assertHealthy(h, lines, label) {
  const { polls, ...rest } = h;
  assert.deepEqual(blocks(lines).health, HEALTH_LINES, `${label}: no line during the health check but its own`);
  assert.deepEqual(rest, HEALTHY, `${label}: the driver delivers, filters and sends as configured`);
  assert.ok(polls >= 28, `${label}: ${polls} polls`);
}

// Every documented refusal of each function, and success where it can
// happen, must have been met by the campaign.
const BEFORE = {
  registerCallback: ['ok', 'EXPECTED_FUNCTION'],
  driverStart: ['NO_CALLBACK', 'EXPECTED_7_ARGS', 'START_ARG1', 'START_ARG2', 'START_ARG3', 'START_ARG4', 'START_ARG5',
    'START_ARG6', 'START_ARG7', 'START_FAILED'],
  sendCommand: ['NOT_STARTED_COMMAND'],
  writeParameter: ['NOT_STARTED_COMMAND'],
  readStatus: ['NOT_STARTED_READ'],
  simulate: ['NOT_STARTED_SIMULATE'],
  clearMem: ['NOT_STARTED_SIMULATE'],
  getVersion: ['ok'],
};
const AFTER = {
  registerCallback: ['ok', 'EXPECTED_FUNCTION'],
  driverStart: ['ALREADY_STARTED'],
  sendCommand: ['ok', 'AT_MOST_5', 'INT_ARG1', 'INT_ARG2', 'INT_ARG3', 'INT_ARG4', 'INT_ARG5', 'BAD_TFT', 'BAD_PARAM_NUM'],
  writeParameter: ['ok', 'AT_MOST_2', 'INT_ARG1', 'BUFFER_ARG2', 'AT_MOST_7_BYTES', 'BAD_WRITE_PARAM_NUM'],
  readStatus: ['ok', 'AT_MOST_1', 'INT_ARG1'],
  simulate: ['ok', 'AT_MOST_1', 'BUFFER_ARG1', 'BUFFER_15'],
  clearMem: ['ok', 'EXPECTED_2_ARGS', 'BOOL_ARG1', 'NUMBER_ARG2'],
  getVersion: ['ok'],
};

function assertCampaign(report, coverage, label) {
  assert.deepEqual(report.violations, [], `${label}: ${report.violationCount} calls broke the rules (seed ${SEED}):\n${report.violations.join('\n')}`);
  for (const [name, outcomes] of Object.entries(coverage)) {
    for (const o of outcomes) assert.ok(report.seen[name] && report.seen[name][o], `${label}: ${name} never gave ${o} (seed ${SEED})`);
  }
}

const CALLS = { before: 50000, after: 50000, rejectedCampaign: 15000, rejected: 35000 };
const total = [];

describe('bad input: a seeded campaign of random argument lists', { concurrency: 3 }, () => {
  test('before driverStart: exact refusals, starts that pass their checks apply exactly their settings, then a clean start', async (t) => {
    t.diagnostic(`seed ${SEED}`);
    const r = await runScenario(`${CHILD(SEED)}
      const st = { started: false, hasCallback: false, startFails: true };
      await lib.run({ calls: ${CALLS.before}, st, bridgeToo: true, noCallbackFirst: 300 });
      // One more start that keeps every setting: its banner shows what the
      // campaign left, which must be what the accepted starts set.
      qel.registerCallback(checker);
      st.hasCallback = true;
      lib.callDriver('driverStart', Array.from({ length: 7 }, () => ({ v: U, d: 'undefined' })), st);
      mark('clean-start');
      bridge.reset();
      bridge.busSpeed(0);
      qel.driverStart(0, 1000, 20000, 2000, ${JSON.stringify(DEFAULT_ENABLED)}, ${JSON.stringify(DEFAULT_CYCLIC)}, false);
      const h = await health();
      done({ report: lib.report, health: h });
    `, { timeout: 120000 });
    const { report, health } = r.result;
    total.push(report.calls);
    assert.equal(r.stderr, '');
    t.diagnostic(`${report.calls} calls, ${report.runs.length} starts that passed their checks`);
    assertCampaign(report, BEFORE, 'before start');
    assert.ok(report.runs.length >= 20, `${report.runs.length} starts passed their checks`);

    // Before the clean start the driver prints only the banner of each start
    // that passed its checks: the settings it was given on top of those of
    // the previous such start, nothing from any refused call.
    const b = blocks(r.lines);
    assert.deepEqual(b[''], [], 'refused calls print nothing');
    report.runs.forEach((banner, i) => {
      assert.deepEqual(b[`run ${i}`], [...banner, msg('INIT_FAILED')], `start ${i} (seed ${SEED})`);
    });
    assert.ok(b['clean-start'].includes(msg('SELECT_OK')));
    assertHealthy(health, r.lines, 'before start');
  });

  test('after driverStart: exact refusals and successes against a bridge that is randomly faulted, then a healthy driver', async (t) => {
    t.diagnostic(`seed ${SEED + 1}`);
    const r = await runScenario(`${CHILD(SEED + 1)}
      qel.registerCallback(checker);
      qel.driverStart(0, 1000, 20000, 2000, U, U, false);
      const st = { started: true, hasCallback: true, startFails: false };
      await lib.run({ calls: ${CALLS.after}, st, bridgeToo: true, resetEvery: 500 });
      const h = await health();
      done({ report: lib.report, health: h });
    `, { timeout: 120000 });
    const { report, health } = r.result;
    total.push(report.calls);
    assert.equal(r.stderr, '');
    t.diagnostic(`${report.calls} calls`);
    assertCampaign(report, AFTER, 'after start');
    assertHealthy(health, r.lines, 'after start');
  });

  test('after driverStart: refused calls change no slot, no statistic, write nothing and print nothing', async (t) => {
    t.diagnostic(`seed ${SEED + 2}`);
    const r = await runScenario(`${CHILD(SEED + 2)}
      qel.registerCallback(checker);
      qel.driverStart(0, 1000, 20000, 2000, U, U, false);
      const st = { started: true, hasCallback: true, startFails: false };
      await lib.run({ calls: ${CALLS.rejectedCampaign}, st, bridgeToo: true, resetEvery: 500 });
      bridge.reset();
      bridge.busSpeed(0);
      qel.registerCallback(checker);
      await wait(30);
      // Something in every kind of slot, then a quiet bridge.
      for (const f of [frame(0x1a1, [1, 2]), frame(0x2c0, [3]), frame(0x4a1, [4]), frame(0x760, [5]), frame(0x123),
        frame(0xfff), frame(0xffe), frame(0x2c9, [6], { badChecksum: true }), frame(0x3a1, [7, 8, 9])]) await feed(f);
      // Every identifier class; the "empty" statistic grows with every
      // poll of the quiet bridge and is left out.
      const ids = [0x1a1, 0x2a1, 0x3a1, 0x421, 0x4a1, 0x2a2, 0x2c0, 0x2c1, 0x2c4, 0x2c5, 0x2c8, 0x2c9, 0x4e0,
        0x700, 0x7a5, 0x123, 0xfff, 0xffe, 0xffd, 0];
      const snapshot = () => JSON.stringify(ids.map((id) => {
        const s = qel.readStatus(id);
        const { empty, ...stats } = s.driver_stats;
        return [s.timestamp, id === 0xffe ? 'empty' : s.counter, s.msg_id, s.msg_data.toString('hex'), stats];
      }));
      const baseline = snapshot();
      const transmits = () => bridge.writes().filter(isTransmit).length;
      const sent = transmits();
      const changes = [];
      got.length = 0;
      mark('rejected');
      await lib.runRejected({ calls: ${CALLS.rejected}, st, every: 500, check: async (made) => {
        await new Promise((r) => setImmediate(r));
        const now = snapshot();
        if (now !== baseline && changes.length < 5) changes.push({ after: made, now });
      } });
      await wait(20);
      mark('rejected-end');
      const after = { changes, transmits: transmits() - sent, deliveries: got.length, final: snapshot() === baseline };
      const h = await health();
      done({ report: lib.report, after, baseline, health: h });
    `, { timeout: 120000 });
    const { report, after, health } = r.result;
    total.push(report.calls);
    assert.equal(r.stderr, '');
    t.diagnostic(`${report.calls} calls, of which ${CALLS.rejected} refused while the slots were watched (${report.skipped} accepted lists skipped)`);
    assertCampaign(report, AFTER, 'refused calls');
    assert.deepEqual(after, { changes: [], transmits: 0, deliveries: 0, final: true }, `baseline ${r.result.baseline}`);
    assert.deepEqual(blocks(r.lines).rejected, [], 'refused calls print nothing');
    assertHealthy(health, r.lines, 'after refused calls');
  });
});

test('the campaign made at least 100000 calls', () => {
  const sum = total.reduce((a, b) => a + b, 0);
  assert.equal(total.length, 3);
  assert.ok(sum >= 100000, `${sum} calls`);
});

describe('user code inside an argument', () => {
  test('a start from inside an identifier getter: the outer start brings the bridge up no second time', async () => {
    const r = await runScenario(`
      qel.registerCallback(() => {});
      const ids = [0x1a1];
      let inner;
      Object.defineProperty(ids, 1, { enumerable: true, get() {
        try { qel.driverStart(0, 1000, 0, 300, undefined, undefined, false); inner = 'started'; } catch (e) { inner = e.message; }
        return 0x2a1;
      } });
      let outer;
      try { qel.driverStart(0, 1000, 0, 300, ids, undefined, false); outer = 'started'; } catch (e) { outer = e.constructor.name + ': ' + e.message; }
      const regs = bridge.writes().filter((w) => w.bytes.length < 17).map((w) => [...w.bytes]);
      done({ inner, outer, regs });
    `);
    assert.equal(r.result.inner, 'started');
    assert.deepEqual(r.result.regs, [[0x03, 0x0f], [0x03], [0x40]], 'one bring-up of the bridge');
    assert.equal(r.result.outer, `TypeError: ${msg('ALREADY_STARTED')}`);
    assert.equal(r.lines.filter((l) => l.startsWith(msg('LISTENING_PREFIX'))).length, 1, 'one banner');
  });

  test('bridge.baudReadback with an element getter that throws: a bridge TypeError, not the getter\'s exception', async () => {
    const r = await runScenario(`
      const values = [0x0f];
      Object.defineProperty(values, 1, { enumerable: true, get() { throw new Error('getter'); } });
      let outcome;
      try { bridge.baudReadback(values); outcome = 'accepted'; } catch (e) { outcome = e.constructor.name + ': ' + e.message; }
      done({ outcome });
    `);
    assert.match(r.result.outcome, /^TypeError: bridge\.baudReadback: /);
  });
});
