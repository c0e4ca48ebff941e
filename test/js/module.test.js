'use strict';
// The module's surface before the driver starts, on each flavour.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { msg, MSG, KERNEL, VERSION } = require('../helpers/catalogue');
const { NO_REAL, nodeCommand, root } = require('../helpers/scenario');
const { MSG_REAL_NOT_ON_PI } = require('../../lib/messages');
const { empty } = require('../helpers/frames');

const DRIVER_FUNCTIONS = ['registerCallback', 'driverStart', 'sendCommand', 'writeParameter',
  'readStatus', 'simulate', 'clearMem', 'getVersion'];
const AFTER = ['capture', 'mirror', 'driverStop'];

const flavours = {
  ...(NO_REAL ? {} : { real: require(root) }),
  sim: require(`${root}/sim`),
  kernel: require(`${root}/i2c-dev`),
};

test('exports: the eight functions in order, then capture, mirror and driverStop, bridge on the sim flavour, and open', () => {
  assert.deepEqual(Object.keys(flavours.sim), [...DRIVER_FUNCTIONS, ...AFTER, 'bridge', 'open']);
  assert.deepEqual(Object.keys(flavours.kernel), [...DRIVER_FUNCTIONS, ...AFTER, 'open']);
  if (flavours.real) {
    assert.deepEqual(Object.keys(flavours.real), [...DRIVER_FUNCTIONS, ...AFTER, 'open']);
    assert.notEqual(flavours.kernel.driverStart, flavours.real.driverStart);
  }
  for (const [flavour, qel] of Object.entries(flavours)) {
    for (const name of DRIVER_FUNCTIONS) assert.equal(typeof qel[name], 'function', `${flavour}.${name}`);
  }
});

// Where a copy of the facts has to stay: the bridge model is compiled
// inside QEMU from its own file, and the declarations are read by a compiler.
test('facts: the same frozen tables on every flavour, and each copy that cannot take them from the add-on agrees', () => {
  const { facts } = flavours.sim;
  assert.deepEqual(flavours.kernel.facts, facts);
  assert.ok(Object.isFrozen(facts) && Object.isFrozen(facts.slots[0]) && Object.isFrozen(facts.arguments.sendCommand[4].needs));
  const model = fs.readFileSync(path.join(root, 'tools', 'pi', 'qel_bridge.c'), 'utf8');
  const define = (name) => Number((new RegExp(`^#define ${name} (\\w+)$`, 'm').exec(model) || [])[1]);
  const modelEmpty = Buffer.alloc(define('FRAME_BYTES'));
  const emptyBody = model.slice(model.indexOf('static void empty_frame')).split('\n}')[0];
  for (const [, at, value] of emptyBody.matchAll(/out\[(\d+)\] = (0x\w+);/g)) modelEmpty[at] = Number(value);
  const boot = fs.readFileSync(path.join(root, 'tools', 'pi', 'boot.sh'), 'utf8');
  const declared = [...fs.readFileSync(path.join(root, 'index.d.ts'), 'utf8').matchAll(/^ {4}\| '(QEL_\w+)'$/gm)].map((m) => m[1]);
  const codes = Object.values(facts.codes);
  // [the copy, what it holds, what the facts say]
  const COPIES = [
    ['qel_bridge.c FRAME_BYTES', define('FRAME_BYTES'), facts.frame.bytes],
    ['qel_bridge.c TRANSMIT_BYTES', define('TRANSMIT_BYTES'), facts.frame.transmitBytes],
    ['qel_bridge.c REG_BAUD', define('REG_BAUD'), facts.frame.regBaud],
    ['qel_bridge.c REG_TRANSMIT', define('REG_TRANSMIT'), facts.frame.regTransmit],
    ['qel_bridge.c REG_RECEIVE', define('REG_RECEIVE'), facts.frame.regReceive],
    ['qel_bridge.c empty_frame()', modelEmpty, empty()],
    ['boot.sh, the bridge model\'s address', Number((/qel-bridge,.*address=(0x\w+)/.exec(boot) || [])[1]), facts.frame.address],
    ['index.d.ts ErrorCode', codes.filter((code) => declared.includes(code)), codes],
  ];
  for (const [copy, holds, says] of COPIES) assert.deepEqual(holds, says, copy);
});

test('off a Raspberry Pi\'s processors requiring or importing the real flavour gives the plain error that it was not built',
  { skip: !NO_REAL && 'qel.node is built here' }, async () => {
    const escape = (text) => text.replace(/[.*+?^${}()|[\]\\/]/g, '\\$&');
    const [why, end] = escape(MSG_REAL_NOT_ON_PI).split('%s');
    const message = new RegExp(`^${why}.+${end}$`);
    assert.throws(() => require(root), (e) => e.constructor === Error && message.test(e.message));
    await assert.rejects(import('corvalith'), (e) => e.constructor === Error && message.test(e.message));
  });

test('ES modules: default and named exports of every entry are the CommonJS exports', async () => {
  const sim = await import('corvalith/sim');
  assert.equal(sim.default, flavours.sim);
  for (const name of [...DRIVER_FUNCTIONS, ...AFTER, 'bridge', 'open']) assert.equal(sim[name], flavours.sim[name], name);
  if (flavours.real) {
    const real = await import('corvalith');
    assert.equal(real.default, flavours.real);
    assert.deepEqual(Object.keys(real).sort(), ['default', ...DRIVER_FUNCTIONS, ...AFTER, 'open'].sort());
    for (const name of [...DRIVER_FUNCTIONS, ...AFTER, 'open']) assert.equal(real[name], flavours.real[name], name);
  }
  const kernel = await import('corvalith/i2c-dev');
  assert.equal(kernel.default, flavours.kernel);
  for (const name of [...DRIVER_FUNCTIONS, ...AFTER, 'open']) assert.equal(kernel[name], flavours.kernel[name], name);
});

test('npm pack ships LICENSE with the texts it names, the entries and every file they and the tools require, and nothing built but the prebuilt add-ons', () => {
  const r = spawnSync('npm', ['pack', '--dry-run', '--json', '--ignore-scripts'], { cwd: root, encoding: 'utf8' });
  const files = JSON.parse(r.stdout)[0].files.map((f) => f.path);
  const pkg = require(`${root}/package.json`);
  // qel.node links the bcm2835 library, which is GPL-3.0-only.
  assert.equal(pkg.license, 'MIT AND GPL-3.0-only');
  const named = [...new Set(fs.readFileSync(path.join(root, 'LICENSE'), 'utf8').match(/LICENSES\/[\w.-]+\.txt/g))].sort();
  assert.deepEqual(named, ['LICENSES/GPL-3.0-only.txt', 'LICENSES/bcm2835.txt']);
  assert.match(fs.readFileSync(path.join(root, 'LICENSES', 'GPL-3.0-only.txt'), 'utf8'), /^ +GNU GENERAL PUBLIC LICENSE\n +Version 3, 29 June 2007\n/);
  const entries = [...Object.values(pkg.bin), ...Object.values(pkg.exports).flatMap((e) => (typeof e === 'string' ? [e] : Object.values(e))),
    ...Object.values(pkg['node-red'].nodes).flatMap((f) => [f, f.replace(/\.js$/, '.html')])];
  for (const f of ['LICENSE', ...named, 'README.md', 'binding.gyp', 'bin/qel-setup', 'src/qel/driver_api.cc', ...entries.map(path.normalize)]) {
    assert.ok(files.includes(f), f);
  }
  for (const f of files.filter((name) => /^(bin|lib)\//.test(name) || /\.m?js$/.test(name))) {
    const text = fs.readFileSync(path.join(root, f), 'utf8');
    for (const m of text.matchAll(/(?:require\(|from )'(\.\.?\/[^']+)'/g)) {
      const target = path.relative(root, path.resolve(root, path.dirname(f), m[1]));
      assert.ok([target, `${target}.js`].some((t) => files.includes(t)), `${f} requires ${m[1]}`);
    }
    for (const m of text.matchAll(/(?<![\w/])bin\/[\w./-]*\w/g)) assert.ok(files.includes(m[0]), `${f} uses ${m[0]}`);
  }
  assert.deepEqual(files.filter((f) => /^(build|test|bench|node_modules)\/|\.(node|a|o)$/.test(f) && !/^prebuilds\/linux-(x64|arm|arm64)\/qel\w*\.abi\d+\.(armv6\.)?glibc\.node$/.test(f)), []);
});

test('every relative link of README.md and docs/ names a file that exists, and a heading of it', () => {
  const pages = ['README.md', ...fs.readdirSync(path.join(root, 'docs')).filter((f) => f.endsWith('.md')).map((f) => `docs/${f}`)];
  const prose = (f) => fs.readFileSync(path.join(root, f), 'utf8').replace(/^```[^]*?^```/gm, '');
  const slug = (h) => h.toLowerCase().replace(/[^\p{L}\p{N} _-]/gu, '').replace(/ /g, '-');
  for (const page of pages) {
    for (const [, target, anchor] of prose(page).matchAll(/\]\((?![a-z]+:)([^)#]*)(?:#([^)]*))?\)/g)) {
      const file = path.join(path.dirname(page), target || path.basename(page));
      assert.ok(fs.existsSync(path.join(root, file)), `${page} links to ${target}`);
      if (anchor) assert.ok([...prose(file).matchAll(/^#+ (.*)$/gm)].some((m) => slug(m[1]) === anchor), `${page}: ${file}#${anchor}`);
    }
  }
});

test('src/ has no include circle; tools/qel-includes finds one between two units', () => {
  const includes = path.join(root, 'tools', 'qel-includes');
  // Through the launcher: under emulation this Node is a program the host cannot start.
  const node = nodeCommand();
  const clean = spawnSync(node.file, [...node.args, includes], { encoding: 'utf8' });
  assert.equal(clean.status, 0, clean.stdout);
  assert.match(clean.stdout, /^capture: bus_lock diagnostics frame$/m);
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'qel-includes-'));
  fs.writeFileSync(path.join(dir, 'a.h'), '#include "b.h"\n');
  fs.writeFileSync(path.join(dir, 'b.cc'), '#include "b.h"\n#include "a.h"\n');
  const circle = spawnSync(node.file, [...node.args, includes, dir], { encoding: 'utf8' });
  fs.rmSync(dir, { recursive: true });
  assert.equal(circle.status, 1);
  assert.match(circle.stdout, /^include circle: a -> b -> a$/m);
});

test('requiring the real flavour where the install could not build it says why and what to do', () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'qel-unbuilt-'));
  fs.cpSync(path.join(root, 'lib'), path.join(dir, 'lib'), { recursive: true });
  fs.copyFileSync(path.join(root, 'index.js'), path.join(dir, 'index.js'));
  fs.mkdirSync(path.join(dir, 'build'));
  fs.writeFileSync(path.join(dir, 'build', 'qel-build.json'), '{"problem":"no bcm2835 here"}');
  const why = 'QEL Driver -- qel.node, the driver for the real CAN bridge, was not built: no bcm2835 here. ';
  assert.throws(() => require(dir), { code: 'QEL_NOT_BUILT', message: NO_REAL ? `${why}On this machine: require('corvalith/i2c-dev') ` +
    'for the bridge through the kernel\'s I2C driver, or require(\'corvalith/sim\') for the simulated bridge'
    : `${why}On a Raspberry Pi: apt-get install libbcm2835-dev, then npm rebuild corvalith; on another machine: ` +
    `run bin/qel-setup (as root) in ${dir}. Without the bridge: require('corvalith/sim')` });
  fs.copyFileSync(path.join(root, 'i2c-dev.js'), path.join(dir, 'i2c-dev.js'));
  assert.throws(() => require(`${dir}/i2c-dev`), { message: 'QEL Driver -- qel_i2cdev.node, the driver for the real CAN bridge ' +
    `through /dev/i2c-1, was not built: run npm rebuild corvalith, or bin/qel-setup in ${dir}` });
  // A prebuild cut short would be mapped past its end (SIGBUS); one that
  // cannot be read is no missing build.
  const prebuilds = path.join(dir, 'prebuilds', `linux-${process.arch}`);
  const damaged = path.join(prebuilds, require(`${root}/lib/prebuilds`).fileName('qel_sim', process.versions.modules));
  const addon = fs.readFileSync(path.join(root, 'build', 'Release', 'qel_sim.node'));
  fs.mkdirSync(prebuilds, { recursive: true });
  fs.writeFileSync(damaged, addon.subarray(0, addon.length >> 1));
  fs.copyFileSync(path.join(root, 'sim.js'), path.join(dir, 'sim.js'));
  const simError = (...asUser) => {
    const [file, ...args] = [...asUser, nodeCommand().file, ...nodeCommand().args, '-e',
      `try { require(${JSON.stringify(`${dir}/sim`)}); } catch (e) { console.log(e.code + ': ' + e.message); }`];
    return spawnSync(file, args, { encoding: 'utf8' }).stdout;
  };
  assert.equal(simError(), `QEL_NOT_BUILT: QEL Driver -- The prebuilt add-on ${damaged} is damaged: ${addon.length >> 1} bytes where ` +
    `its headers describe ${addon.length}; install the package again, or build it: npm rebuild corvalith\n`);
  if (process.getuid() === 0 && !process.env.QEL_NODE_LAUNCHER) {
    fs.chmodSync(dir, 0o755);
    fs.chmodSync(prebuilds, 0o700);
    assert.equal(simError('setpriv', '--reuid=nobody', '--regid=nogroup', '--clear-groups'), 'QEL_NOT_BUILT: QEL Driver -- The prebuilt ' +
      `add-ons cannot be read: EACCES: permission denied, scandir '${prebuilds}'; let this user read that folder, or build the package: npm rebuild corvalith\n`);
  }
  fs.rmSync(dir, { recursive: true, force: true });
});

// Before driverStart, in order, [function, arguments, refusal or what it
// returns]: registerCallback and capture check their arguments; every other
// function but getVersion refuses whatever they are.
const returns = (value) => ({ returns: value });
const BEFORE_START = [
  ['getVersion', [], returns(VERSION)], ['getVersion', [1, 'x', null], returns(VERSION)],
  ['registerCallback', [], 'EXPECTED_FUNCTION'], ['registerCallback', [42], 'EXPECTED_FUNCTION'],
  ['registerCallback', [null, () => {}], 'EXPECTED_FUNCTION'],
  ['registerCallback', [() => {}], returns(undefined)], ['registerCallback', [() => {}, 'ignored', 3], returns(undefined)],
  ['sendCommand', [1], 'NOT_STARTED_COMMAND'], ['sendCommand', [1, 2, 3, 4, 5, 6, 7], 'NOT_STARTED_COMMAND'],
  ['writeParameter', [3, Buffer.from([1, 2])], 'NOT_STARTED_COMMAND'], ['writeParameter', [], 'NOT_STARTED_COMMAND'],
  ['readStatus', [0x1a1], 'NOT_STARTED_READ'], ['readStatus', ['x', 1], 'NOT_STARTED_READ'],
  ['simulate', [Buffer.alloc(15)], 'NOT_STARTED_SIMULATE'], ['clearMem', [true, undefined], 'NOT_STARTED_SIMULATE'],
  ['clearMem', [], 'NOT_STARTED_SIMULATE'],
  ['capture', [], 'CAPTURE_ARG1'], ['capture', [1], 'CAPTURE_ARG1'], ['capture', [() => {}, 2], 'AT_MOST_1'],
  ['capture', [() => {}], returns(undefined)], ['capture', [null], returns(undefined)],
  ['mirror', [1], 'MIRROR_ARG1'], ['mirror', [''], 'MIRROR_ARG1'], ['mirror', ['a/b'], 'MIRROR_ARG1'],
  ['mirror', ['x'.repeat(16)], 'MIRROR_ARG1'], ['mirror', ['vcan\n0'], 'MIRROR_ARG1'], ['mirror', ['vcan0', 2], 'AT_MOST_1'],
  ['mirror', [], returns({ interface: null, sent: 0, dropped: 0, checksumErrors: 0, empty: 0 })],
];
// A kernel without CAN sockets (this machine's), or without the interface.
const mirrorRefused = (e) => e instanceof TypeError && (e.code === 'EAFNOSUPPORT' ? e.message === msg('MIRROR_FAILED', 'qelnone0', MSG.MIRROR_NO_CAN)
  : e.code === 'ENODEV' && e.message === msg('MIRROR_FAILED', 'qelnone0', msg('MIRROR_NO_INTERFACE', 'qelnone0', 'qelnone0')));

test('sim: bridge.frame builds a valid bridge frame byte for byte and refuses what no frame holds', () => {
  const { frame } = flavours.sim.bridge;
  assert.deepEqual([...frame(0x4a1, [0xfe, 0xff, 0xff])], [0, 0, 0x04, 0xa1, 0, 0, 3, 0xfe, 0xff, 0xff, 0, 0, 0, 0, 0, 0x5c]);
  assert.deepEqual([...frame(0x1a1)], [0, 0, 0x01, 0xa1, ...Array(11).fill(0), 0xa2]);
  assert.deepEqual(frame(0xffff, Buffer.alloc(8, 0xff)).subarray(6), Buffer.from([8, ...Array(8).fill(0xff), 0x02]));
  for (const args of [[0x10000], [-1], [1.5], ['1a1'], [1, Array(9).fill(0)], [1, [256]], [1, [0.5]], [1, 'ab'], [1, [], 0]]) {
    assert.throws(() => frame(...args), { name: 'TypeError', code: 'QEL_BAD_ARGUMENT', message: 'bridge.frame: expected an identifier (integer 0-65535) and an array of at most 8 data bytes (integers 0-255)' });
  }
});

for (const name of ['real', 'sim', 'kernel']) {
  const qel = flavours[name];
  test(`${name}: before driverStart each call refuses with its TypeError or returns`, { skip: !qel && NO_REAL }, () => {
    BEFORE_START.forEach(([fn, args, expected], i) => {
      const label = `${i}: ${fn} with ${args.length} arguments`;
      if (typeof expected === 'string') {
        const code = expected.startsWith('NOT_STARTED') ? 'QEL_NOT_STARTED' : 'QEL_BAD_ARGUMENT';
        assert.throws(() => qel[fn](...args), (e) => e instanceof TypeError && e.message === msg(expected) && e.code === code, label);
      } else {
        assert.deepEqual(qel[fn](...args), expected.returns, label);
      }
    });
    assert.throws(() => qel.mirror('qelnone0'), mirrorRefused);
  });
}

test('driverStart without a registered function refuses first, even with a wrong count', async () => {
  const { runScenario } = require('../helpers/scenario');
  for (const flavour of NO_REAL ? ['sim'] : ['sim', 'real']) {
    const r = await runScenario(`
      const out = [];
      for (const args of [[], [1, 2, 3, 4, 5, 6, 7], [undefined, undefined, undefined, undefined, undefined, undefined, undefined]]) {
        try { qel.driverStart(...args); out.push('no throw'); } catch (e) { out.push(e.constructor.name + ': ' + e.message); }
      }
      done(out);
    `, { flavour });
    assert.deepEqual(r.result, Array(3).fill(`TypeError: ${msg('NO_CALLBACK')}`));
    assert.deepEqual(r.lines, [], 'a refused start prints nothing');
  }
});

test('QEL_MIRROR that mirror() would refuse: its very words, one console line, and the driver starts', async () => {
  const { runScenario } = require('../helpers/scenario');
  for (const name of ['a/b', 'vcan\n0']) {
    const r = await runScenario('qel.registerCallback(() => {}); qel.driverStart(0, 1000, -1, 300, undefined, undefined, undefined); done(1);', { env: { QEL_MIRROR: name } });
    assert.deepEqual(r.lines.slice(7, 9), [msg('SELECT_OK'), msg('MIRROR_ARG1')], r.stdout);
    assert.ok(r.lines.every((l) => l.startsWith('QEL Driver -- ')), r.stdout);
  }
});

test('prebuilds: each flavour by name, ABI, C library and ARM architecture (an older one runs on a newer)', () => {
  const { prebuilt, fileName } = require(`${root}/lib/prebuilds`);
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'qel-prebuilds-'));
  const files = ['qel_sim.abi115.armv6.glibc.node', 'qel_sim.abi115.armv7.glibc.node', 'qel_sim.abi127.armv6.glibc.node',
    'qel.abi115.armv6.glibc.node', 'qel_sim.abi115.armv6.musl.node', 'qel_i2cdev.abi115.glibc.node'];
  fs.mkdirSync(path.join(dir, 'linux-arm'));
  fs.mkdirSync(path.join(dir, 'linux-x64'));
  for (const f of files) fs.writeFileSync(path.join(dir, f.startsWith('qel_i2cdev') ? 'linux-x64' : 'linux-arm', f), '');
  const arm = (armv, abi = '115', libc = 'glibc') => ({ platform: 'linux', arch: 'arm', abi, arm: armv, libc });
  const pick = (name, want) => (prebuilt(name, want, dir) || '').split('/').pop();
  assert.deepEqual([pick('qel_sim', arm(6)), pick('qel_sim', arm(7)), pick('qel_sim', arm(8, '127')), pick('qel', arm(7)),
    pick('qel_sim', arm(6, '115', 'musl')), pick('qel_sim', arm(6, '137')), pick('qel_i2cdev', { ...arm(0), arch: 'x64' })],
  [files[0], files[1], files[2], files[3], files[4], '', files[5]]);
  assert.equal(fileName('qel_sim', '115', 6), files[0]);
  fs.rmSync(dir, { recursive: true });
});

test('prebuilt install: a tarball with this Node\'s add-ons as prebuilds installs with no compiler, make, python3 or node-gyp, and runs',
  { skip: (process.env.QEL_NODE_LAUNCHER || KERNEL) && 'the platform matrix proves the other Nodes (its prebuild column)' }, () => {
    const r = spawnSync(process.execPath, ['tools/platform/install-proof.js', root, path.join(root, 'build', 'Release')], { cwd: root, encoding: 'utf8' });
    const result = JSON.parse(r.stdout.trim().split('\n').pop());
    assert.equal(r.status, 0, r.stdout);
    assert.deepEqual([result.tree.filter((n) => ['corvalith', 'mqtt', 'nan', 'node-gyp'].includes(n)), result.version, result.platform, result.abi], [['corvalith', 'nan'], VERSION, `linux-${process.arch}`, process.versions.modules]);
  });

// The install script, niced, in a copy of the package with no node_modules (as a fresh clone
// has none: it fetches nan and takes npm's own node-gyp) in a folder whose name holds a blank,
// quotes, $, # and \, and outside of npm; the platform rows build through their own scripts.
test('install: any folder builds, its sim add-on logs there; built and current, a user installs it writing nothing',
  { skip: (process.env.QEL_NODE_LAUNCHER || KERNEL) && 'installs with the host\'s Node once' }, (t) => {
    const top = fs.mkdtempSync(path.join(os.tmpdir(), 'qel-install-'));
    t.after(() => fs.rmSync(top, { recursive: true, force: true }));
    const copy = path.join(top, 'My Lift "A" $HOME #1 \'x\' \\y', 'corvalith');
    // Its one prebuild cut short: this is the source build.
    for (const f of [...require(`${root}/package.json`).files, 'package.json']) {
      if (f !== 'prebuilds/' && fs.existsSync(path.join(root, f))) fs.cpSync(path.join(root, f), path.join(copy, f), { recursive: true });
    }
    const damaged = path.join('prebuilds', `linux-${process.arch}`, require(`${root}/lib/prebuilds`).fileName('qel_sim', process.versions.modules));
    fs.mkdirSync(path.dirname(path.join(copy, damaged)), { recursive: true });
    fs.writeFileSync(path.join(copy, damaged), fs.readFileSync(path.join(root, 'build', 'Release', 'qel_sim.node')).subarray(0, 4096));
    fs.chmodSync(top, 0o755);
    const env = Object.fromEntries(Object.entries(process.env).filter(([key]) => !/^npm_/i.test(key)));
    const install = (...prefix) => spawnSync('nice', ['-n', '19', ...(prefix.length ? prefix : [process.execPath]), 'bin/qel-build.js'],
      { cwd: copy, encoding: 'utf8', env });
    const built = install();
    assert.equal(built.status, 0, built.stderr);
    assert.match(built.stdout, new RegExp(`^qel-build: passing over ${damaged}: damaged: 4096 bytes where its headers describe \\d+; building from source$`, 'm'));
    // The node-gyp that built it, which the benchmark's own add-on takes too: npm's, as the copy has none.
    const gyp = spawnSync(process.execPath, ['lib/build-paths.js', 'node-gyp'], { cwd: copy, encoding: 'utf8', env }).stdout;
    assert.ok(/\/node-gyp\/bin\/node-gyp\.js$/.test(gyp) && !gyp.startsWith(copy) && fs.existsSync(gyp), gyp);
    fs.rmSync(path.join(copy, 'prebuilds'), { recursive: true });
    const log = path.join(copy, 'build', 'sim-log', 'qel_cc_log.txt');
    const debugRun = (...asUser) => {
      const [file, ...args] = [...asUser, process.execPath, '-e', `const q = require(${JSON.stringify(`${copy}/sim`)});
        q.registerCallback(() => {}); q.driverStart(0, 1000, 0, 300, undefined, undefined, true); process.exit(0);`];
      return spawnSync(file, args, { encoding: 'utf8' }).stdout;
    };
    const r = debugRun();
    assert.ok(r.includes(`${msg('DEBUG_ENABLED')}\nQEL Driver -- Log file: ${log}\n`), r);
    assert.match(fs.readFileSync(log, 'utf8'), /^QEL Driver Log File\n/);
    if (process.getuid() !== 0) return t.diagnostic('installing as nobody needs root');
    const addon = path.join(copy, 'build', 'Release', 'qel_sim.node');
    const listing = () => spawnSync('find', [copy, '-printf', '%p %T@\\n'], { encoding: 'utf8' }).stdout;
    const before = listing();
    // The same Node release in a folder of the user's (nvm, the official tarball).
    const own = path.join(top, 'nvm', 'bin', 'node');
    fs.mkdirSync(path.dirname(own), { recursive: true });
    fs.linkSync(process.execPath, own);
    fs.symlinkSync(path.resolve(process.execPath, '..', '..', 'include'), path.join(top, 'nvm', 'include'));
    const nobody = ['setpriv', '--reuid=nobody', '--regid=nogroup', '--clear-groups'];
    for (const node of [process.execPath, own]) {
      const user = install(...nobody, node);
      assert.deepEqual([user.status, user.stdout, user.stderr], [0, '', ''], node);
    }
    assert.ok(listing() === before, 'nothing written');
    // Its debug log goes to a folder of the user's own.
    const userLog = /Log file: (.+)\n/.exec(debugRun(...nobody))[1];
    assert.match(userLog, new RegExp(`^${os.tmpdir()}/corvalith-[^/]+/qel_cc_log.txt$`));
    assert.match(fs.readFileSync(userLog, 'utf8'), /^QEL Driver Log File\n/);
    const builtAt = fs.statSync(addon).mtimeMs;
    fs.utimesSync(path.join(copy, 'src', 'qel', 'config.cc'), new Date(), new Date());
    const refused = install(...nobody, process.execPath);
    assert.match(refused.stderr, new RegExp(`^qel-build: .+ may not write to .+/build \\(EACCES\\): [^\n]+\n$`));
    assert.equal(install().status, 0);
    assert.ok(fs.statSync(addon).mtimeMs > builtAt, 'a changed source builds again');
  });
