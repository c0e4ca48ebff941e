'use strict';
// The module's surface before the driver starts, on both flavours.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { msg, KERNEL, VERSION } = require('../helpers/catalogue');
const { root } = require('../helpers/scenario');

const DRIVER_FUNCTIONS = ['registerCallback', 'driverStart', 'sendCommand', 'writeParameter',
  'readStatus', 'simulate', 'clearMem', 'getVersion'];

const flavours = {
  real: require(root),
  sim: require(`${root}/sim`),
  kernel: require(`${root}/i2c-dev`),
};

test('exports: the eight functions in order, then capture, and bridge on the sim flavour', () => {
  assert.deepEqual(Object.keys(flavours.real), [...DRIVER_FUNCTIONS, 'capture']);
  assert.deepEqual(Object.keys(flavours.sim), [...DRIVER_FUNCTIONS, 'capture', 'bridge']);
  assert.deepEqual(Object.keys(flavours.kernel), [...DRIVER_FUNCTIONS, 'capture']);
  assert.notEqual(flavours.kernel.driverStart, flavours.real.driverStart);
  for (const name of DRIVER_FUNCTIONS) {
    assert.equal(typeof flavours.real[name], 'function');
    assert.equal(typeof flavours.sim[name], 'function');
  }
});

test('ES modules: default and named exports of both entries are the CommonJS exports', async () => {
  const real = await import('corvalith');
  const sim = await import('corvalith/sim');
  assert.equal(real.default, flavours.real);
  assert.equal(sim.default, flavours.sim);
  assert.deepEqual(Object.keys(real).sort(), ['default', ...DRIVER_FUNCTIONS, 'capture'].sort());
  for (const name of [...DRIVER_FUNCTIONS, 'capture', 'bridge']) assert.equal(sim[name], flavours.sim[name], name);
  for (const name of [...DRIVER_FUNCTIONS, 'capture']) assert.equal(real[name], flavours.real[name], name);
  const kernel = await import('corvalith/i2c-dev');
  assert.equal(kernel.default, flavours.kernel);
  for (const name of [...DRIVER_FUNCTIONS, 'capture']) assert.equal(kernel[name], flavours.kernel[name], name);
});

test('npm pack ships LICENSE, the entries and every file they and the tools require, and nothing built', () => {
  const r = spawnSync('npm', ['pack', '--dry-run', '--json', '--ignore-scripts'], { cwd: root, encoding: 'utf8' });
  const files = JSON.parse(r.stdout)[0].files.map((f) => f.path);
  const pkg = require(`${root}/package.json`);
  const entries = [...Object.values(pkg.bin), ...Object.values(pkg.exports).flatMap((e) => (typeof e === 'string' ? [e] : Object.values(e)))];
  for (const f of ['LICENSE', 'README.md', 'binding.gyp', 'bin/qel-setup', 'src/qel/driver_api.cc', ...entries.map(path.normalize)]) {
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
  assert.deepEqual(files.filter((f) => /^(build|test|bench|node_modules)\/|\.(node|a|o)$/.test(f)), []);
});

test('src/ has no include circle; bin/qel-includes finds one between two units', () => {
  const includes = path.join(root, 'bin', 'qel-includes');
  const clean = spawnSync(process.execPath, [includes], { encoding: 'utf8' });
  assert.equal(clean.status, 0, clean.stdout);
  assert.match(clean.stdout, /^capture: bus_lock diagnostics frame$/m);
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'qel-includes-'));
  fs.writeFileSync(path.join(dir, 'a.h'), '#include "b.h"\n');
  fs.writeFileSync(path.join(dir, 'b.cc'), '#include "b.h"\n#include "a.h"\n');
  const circle = spawnSync(process.execPath, [includes, dir], { encoding: 'utf8' });
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
  assert.throws(() => require(dir), { code: 'QEL_NOT_BUILT', message: 'QEL Driver -- qel.node, the driver for the real CAN bridge, was not built: ' +
    'no bcm2835 here. On a Raspberry Pi: apt-get install libbcm2835-dev, then npm rebuild corvalith; on another machine: ' +
    `run bin/qel-setup (as root) in ${dir}. Without the bridge: require('corvalith/sim')` });
  fs.copyFileSync(path.join(root, 'i2c-dev.js'), path.join(dir, 'i2c-dev.js'));
  assert.throws(() => require(`${dir}/i2c-dev`), { message: 'QEL Driver -- qel_i2cdev.node, the driver for the real CAN bridge ' +
    `through /dev/i2c-1, was not built: run npm rebuild corvalith, or bin/qel-setup in ${dir}` });
  fs.rmSync(dir, { recursive: true, force: true });
});

function throwsType(fn, message) {
  assert.throws(fn, (e) => e instanceof TypeError && e.message === message);
}

for (const [name, qel] of Object.entries(flavours)) {
  test(`${name}: getVersion returns package.json's version whatever its arguments`, () => {
    assert.equal(qel.getVersion(), VERSION);
    assert.equal(qel.getVersion(1, 'x', null), VERSION);
  });

  test(`${name}: registerCallback takes a function, keeps the old one on bad input`, () => {
    throwsType(() => qel.registerCallback(), msg('EXPECTED_FUNCTION'));
    throwsType(() => qel.registerCallback(42), msg('EXPECTED_FUNCTION'));
    throwsType(() => qel.registerCallback(null, () => {}), msg('EXPECTED_FUNCTION'));
    assert.equal(qel.registerCallback(() => {}), undefined);
    assert.equal(qel.registerCallback(() => {}, 'ignored', 3), undefined);
  });

  test(`${name}: every other function refuses before driverStart, whatever its arguments`, () => {
    throwsType(() => qel.sendCommand(1), msg('NOT_STARTED_COMMAND'));
    throwsType(() => qel.sendCommand(1, 2, 3, 4, 5, 6, 7), msg('NOT_STARTED_COMMAND'));
    throwsType(() => qel.writeParameter(3, Buffer.from([1, 2])), msg('NOT_STARTED_COMMAND'));
    throwsType(() => qel.writeParameter(), msg('NOT_STARTED_COMMAND'));
    throwsType(() => qel.readStatus(0x1a1), msg('NOT_STARTED_READ'));
    throwsType(() => qel.readStatus('x', 1), msg('NOT_STARTED_READ'));
    throwsType(() => qel.simulate(Buffer.alloc(15)), msg('NOT_STARTED_SIMULATE'));
    throwsType(() => qel.clearMem(true, undefined), msg('NOT_STARTED_SIMULATE'));
    throwsType(() => qel.clearMem(), msg('NOT_STARTED_SIMULATE'));
  });

  test(`${name}: capture takes a function or null, before driverStart too`, () => {
    throwsType(() => qel.capture(), msg('CAPTURE_ARG1'));
    throwsType(() => qel.capture(1), msg('CAPTURE_ARG1'));
    throwsType(() => qel.capture(() => {}, 2), msg('AT_MOST_1'));
    assert.equal(qel.capture(() => {}), undefined);
    assert.equal(qel.capture(null), undefined);
  });
}

test('driverStart without a registered function refuses first, even with a wrong count', async () => {
  const { runScenario } = require('../helpers/scenario');
  for (const flavour of ['sim', 'real']) {
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

// The install script, niced, in a copy of the package (nan too) in a folder whose name holds a
// blank, quotes, $, # and \; the platform rows build through their own scripts.
test('install: any folder builds, its sim add-on logs there; built and current, a user installs it writing nothing',
  { skip: (process.env.QEL_NODE_LAUNCHER || KERNEL) && 'installs with the host\'s Node once' }, (t) => {
    const top = fs.mkdtempSync(path.join(os.tmpdir(), 'qel-install-'));
    t.after(() => fs.rmSync(top, { recursive: true, force: true }));
    const copy = path.join(top, 'My Lift "A" $HOME #1 \'x\' \\y', 'corvalith');
    for (const f of [...require(`${root}/package.json`).files, 'package.json', 'node_modules/nan']) fs.cpSync(path.join(root, f), path.join(copy, f), { recursive: true });
    fs.symlinkSync(path.join(root, 'node_modules', 'node-gyp'), path.join(copy, 'node_modules', 'node-gyp'));
    fs.chmodSync(top, 0o755);
    const install = (...prefix) => spawnSync('nice', ['-n', '19', ...prefix, process.execPath, 'bin/qel-build.js'], { cwd: copy, encoding: 'utf8' });
    const built = install();
    assert.equal(built.status, 0, built.stderr);
    const log = path.join(copy, 'build', 'sim-log', 'qel_cc_log.txt');
    const r = spawnSync(process.execPath, ['-e', `const q = require(${JSON.stringify(`${copy}/sim`)}); q.registerCallback(() => {});
      q.driverStart(0, 1000, 0, 300, undefined, undefined, true); process.exit(0);`], { encoding: 'utf8' });
    assert.ok(r.stdout.includes(`${msg('DEBUG_ENABLED')}\nQEL Driver -- Log file: ${log}\n`), r.stdout);
    assert.match(fs.readFileSync(log, 'utf8'), /^QEL Driver Log File\n/);
    if (process.getuid() !== 0) return t.diagnostic('installing as nobody needs root');
    const addon = path.join(copy, 'build', 'Release', 'qel_sim.node');
    const listing = () => spawnSync('find', [copy, '-printf', '%p %T@\\n'], { encoding: 'utf8' }).stdout;
    const before = listing();
    const user = install('setpriv', '--reuid=nobody', '--regid=nogroup', '--clear-groups');
    assert.deepEqual([user.status, user.stdout, user.stderr], [0, '', '']);
    assert.ok(listing() === before, 'nothing written');
    const builtAt = fs.statSync(addon).mtimeMs;
    fs.utimesSync(path.join(copy, 'src', 'qel', 'config.cc'), new Date(), new Date());
    assert.equal(install().status, 0);
    assert.ok(fs.statSync(addon).mtimeMs > builtAt, 'a changed source builds again');
  });
