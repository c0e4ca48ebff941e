#!/usr/bin/env node
// Builds the add-ons with the headers of the Node that runs this script:
// nothing is downloaded, and no setting of the machine (an npmrc's nodedir)
// decides which headers are used. It is the package's install script, so it
// also runs where nothing was set up: qel_sim.node and qel_i2cdev.node are
// always built, qel.node only on a Raspberry Pi's processor with a bcm2835
// library that links into it (lib/build-paths.js); requiring the real
// flavour without it says why it was not built.
'use strict';
const { spawnSync } = require('child_process');
const fs = require('fs');
const path = require('path');
const { bcm2835, onPiProcessor, resolveFrom, npmFolder, nodeGyp } = require('../lib/build-paths');
const { prebuilt, shortfall } = require('../lib/prebuilds');

const root = path.resolve(__dirname, '..');
const build = path.join(root, 'build');
const nodedir = process.env.QEL_NODEDIR || path.resolve(path.dirname(process.execPath), '..');
const extra = process.argv.slice(2);

// The flavours a package for this processor holds: qel.node only where a
// Raspberry Pi's processor runs it.
const FLAVOURS = onPiProcessor() ? ['qel', 'qel_sim', 'qel_i2cdev'] : ['qel_sim', 'qel_i2cdev'];

function say(message) {
  console.log(`qel-build: ${message}`);
}

function fail(message) {
  console.error(`qel-build: ${message}`);
  process.exit(1);
}

// A command that starts this same Node (processor and module ABI) as a
// child: its own file, or else the `node` on PATH, the one that runs
// install scripts. Under a user-mode emulator without binfmt_misc a process
// cannot start an emulated program (the C library hands it to sh), and the
// `node` on PATH is the emulator's launcher. Null when neither will do.
let childNodeFound;
function childNode() {
  if (childNodeFound !== undefined) return childNodeFound;
  const same = `${process.arch} ${process.versions.modules}`;
  childNodeFound = [process.execPath, 'node'].find((command) => {
    const r = spawnSync(command, ['-p', 'process.arch + " " + process.versions.modules'], { encoding: 'utf8' });
    return r.status === 0 && r.stdout.trim() === same;
  }) || null;
  return childNodeFound;
}

// Loads `file` as a child would, and says how that ended: in a child
// process, so that a file that dies as it is mapped takes only the child;
// in this process where no child can be started.
function tryLoad(file) {
  const node = childNode();
  if (node) return spawnSync(node, ['-e', 'require(process.argv[1])', file], { encoding: 'utf8' });
  try {
    require(file);
    return { status: 0 };
  } catch (e) {
    return { status: 1, stderr: `Error: ${e.message}` };
  }
}

// Why the prebuild `file` cannot serve, or null when it loads. A file that
// a check of its size lets through may still kill whoever maps it, and the
// source build must run after that.
function prebuildFault(file) {
  const cut = shortfall(file);
  if (cut) return `damaged: ${cut.size} bytes where its headers describe ${cut.needed}`;
  const r = tryLoad(file);
  if (r.signal) return `loading it ended with ${r.signal}`;
  if (r.status !== 0) return (/^\w*Error: .*$/m.exec(r.stderr || '') || [`loading it failed (exit status ${r.status})`])[0];
  return null;
}

// Whether every flavour has a prebuilt add-on that this Node loads (a C
// library older than the one it was built against refuses it). Loading
// starts nothing. One that is there but does not load is named in one
// line, and the source build runs. The repository, a git checkout, always
// builds from source, as does QEL_BUILD_FROM_SOURCE=1.
function prebuiltLoads() {
  if (extra.length > 0 || process.env.QEL_BUILD_FROM_SOURCE === '1' || fs.existsSync(path.join(root, '.git'))) return false;
  return FLAVOURS.every((name) => {
    let file;
    try {
      file = prebuilt(name);
    } catch (e) {
      say(`the prebuilt add-ons cannot be read (${e.message}): building from source`);
      return false;
    }
    const fault = file && prebuildFault(file);
    if (fault) say(`passing over ${path.relative(root, file)}: ${fault}; building from source`);
    return file !== null && !fault;
  });
}

// An installed package with prebuilt add-ons: no compiler, no node-gyp,
// nothing written into its folder.
if (prebuiltLoads()) process.exit(0);

function onPath(command) {
  return (process.env.PATH || '').split(':').some((dir) => {
    try {
      fs.accessSync(path.join(dir || '.', command), fs.constants.X_OK);
      return true;
    } catch {
      return false;
    }
  });
}

function checkTools() {
  const cxx = (process.env.CXX || 'g++').split(/\s+/)[0];
  const missing = ['python3', 'make', cxx].filter((t) => !onPath(t));
  if (missing.length > 0) {
    fail(`building the add-ons needs python3, make and a C++ compiler (g++); missing: ${missing.join(', ')}` +
      ' (Debian, Raspberry Pi OS: apt-get install python3 make g++)');
  }
}

// The Debian package that holds `file`, or null.
function debianPackageOf(file) {
  const r = spawnSync('dpkg-query', ['-S', file], { encoding: 'utf8' });
  return r.status === 0 ? r.stdout.split(':')[0].trim() : null;
}

function checkHeaders() {
  if (fs.existsSync(path.join(nodedir, 'include', 'node', 'common.gypi'))) return;
  const node = fs.realpathSync(process.execPath);
  const remedy = debianPackageOf(node) === 'nodejs'
    ? 'Debian\'s nodejs package ships none: install libnode-dev (apt-get install libnode-dev; bin/qel-setup does it)'
    : `install the headers that belong to ${node}`;
  fail(`no Node headers under ${nodedir}/include/node: ${remedy}`);
}

const resolvable = (id) => resolveFrom(root, id) !== null;

// npm links a folder installed with `npm install <folder>` instead of
// copying it, and installs nothing into it: the build's one dependency,
// nan, is fetched here then. The install runs with none of the outer npm's
// settings of where and what to install.
function ensureNan() {
  if (resolvable('nan/nan.h')) return;
  say(`installing nan, the build's dependency, into ${root}/node_modules`);
  const env = { ...process.env };
  const keep = /^npm_config_(registry|cache|userconfig|globalconfig|proxy|https_proxy|noproxy|cafile|ca|strict_ssl|offline|prefer_offline)$/i;
  for (const key of Object.keys(env)) {
    if (/^npm_/i.test(key) && !keep.test(key)) delete env[key];
  }
  const npm = process.env.npm_execpath ? [process.execPath, process.env.npm_execpath] : ['npm'];
  const r = spawnSync(npm[0], [...npm.slice(1), 'install', '--omit=dev', '--ignore-scripts', '--no-save', '--no-audit',
    '--no-fund', '--loglevel=error'], { cwd: root, env, stdio: ['ignore', 'ignore', 'inherit'] });
  if (!resolvable('nan/nan.h')) fail(`nan is missing and npm could not install it (exit status ${r.status}): run \`npm install\` in ${root}`);
}

function checkNodeGyp() {
  if (nodeGyp()) return;
  fail(`node-gyp is missing: npm ${npmFolder() ? `(${npmFolder()}) ` : ''}has none and ${root}/node_modules holds none: ` +
    `run \`npm install\` in ${root}`);
}

const env = { ...process.env };
for (const key of Object.keys(env)) {
  if (/^npm_config_(nodedir|target|arch|dist_url|devdir)$/i.test(key)) delete env[key];
}

function run(args) {
  // Quiet when all goes well; everything the build said when it fails.
  const gyp = nodeGyp();
  const r = spawnSync(process.execPath, [gyp, ...args, `--nodedir=${nodedir}`, ...extra], {
    cwd: root,
    env,
    encoding: 'utf8',
    maxBuffer: 64 * 1024 * 1024,
  });
  if (r.status !== 0) {
    process.stderr.write(`${r.stdout || ''}${r.stderr || ''}`);
    fail(`node-gyp ${args[0]} failed`);
  }
  const warnings = `${r.stdout || ''}${r.stderr || ''}`.split('\n').filter((l) => /warning:/.test(l));
  if (warnings.length > 0) process.stderr.write(`${warnings.join('\n')}\n`);
}

// The version of the headers that the build compiles against, or, where
// there are none, of this Node (checkHeaders stops a build then).
function headersVersion() {
  try {
    const text = fs.readFileSync(path.join(nodedir, 'include', 'node', 'node_version.h'), 'utf8');
    return ['MAJOR', 'MINOR', 'PATCH'].map((part) => new RegExp(`#define NODE_${part}_VERSION (\\d+)`).exec(text)[1]).join('.');
  } catch {
    return process.versions.node;
  }
}

// What the build was configured with; a change of Node's ABI or headers'
// version, of the bcm2835 library or of the package's folder configures it
// afresh. Where that Node lives does not count: the same release from nvm
// or a tarball loads what root built with Debian's. Requiring the real
// flavour reads `problem`.
const record = path.join(build, 'qel-build.json');
const library = bcm2835();
const wanted = { root, abi: process.versions.modules, headers: headersVersion(), bcm2835: library.lib || null, problem: library.problem || null };

function recorded() {
  try {
    return JSON.parse(fs.readFileSync(record, 'utf8'));
  } catch {
    return null;  // never built
  }
}

const mtime = (file) => fs.statSync(file).mtimeMs;

// The Makefile is generated from binding.gyp with the paths of build-paths.js
// and the version of package.json.
function isConfigured() {
  const makefile = path.join(build, 'Makefile');
  return fs.existsSync(makefile) && JSON.stringify(recorded()) === JSON.stringify(wanted) &&
    mtime(makefile) >= Math.max(mtime(path.join(root, 'binding.gyp')), mtime(path.join(root, 'lib', 'build-paths.js')),
      mtime(path.join(root, 'package.json')));
}

// Whether every add-on that this configuration builds is there and no
// source changed since the last build that succeeded, which wrote the
// record last. The add-ons' own times would not do: make leaves an add-on
// alone when a changed file is not among its sources.
function upToDate() {
  const newest = (dir) => fs.readdirSync(dir, { withFileTypes: true }).reduce((t, e) => Math.max(t,
    e.isDirectory() ? newest(path.join(dir, e.name)) : mtime(path.join(dir, e.name))), 0);
  const sources = Math.max(newest(path.join(root, 'src')), mtime(path.join(root, 'binding.gyp')), mtime(path.join(root, 'package.json')));
  const addons = (library.lib ? ['qel', 'qel_sim', 'qel_i2cdev'] : ['qel_sim', 'qel_i2cdev']).map((n) => path.join(build, 'Release', `${n}.node`));
  return addons.every((f) => fs.existsSync(f)) && mtime(record) >= sources;
}

// The simulated flavour's debug log goes here when the user may write
// there; sim.js gives other users a folder of their own.
function makeLogFolder() {
  try {
    fs.mkdirSync(path.join(build, 'sim-log'), { recursive: true });
  } catch { /* another user's folder */ }
}

// A build writes into the package's folder: a user who may not write there
// gets one line that says so, before anything has started.
function checkWritable() {
  const target = fs.existsSync(build) ? build : root;
  try {
    fs.accessSync(target, fs.constants.W_OK);
  } catch (e) {
    fail(`${root} needs a build (for Node ${process.version}, module ABI ${process.versions.modules}) and this user may not ` +
      `write to ${target} (${e.code}): have its owner run \`npm rebuild\` there, or install a copy of your own`);
  }
}

function buildFromSource(configured) {
  checkTools();
  checkHeaders();
  checkWritable();
  ensureNan();
  checkNodeGyp();
  say(`building ${library.lib ? 'qel.node, qel_i2cdev.node and qel_sim.node' : 'qel_i2cdev.node and qel_sim.node'} for Node ${process.version} (headers in ${nodedir}) ...`);
  if (!library.lib) say(`not building qel.node, the real flavour: ${library.problem}`);
  if (!configured || extra.length > 0) {
    fs.rmSync(record, { force: true });
    run(['configure', '--loglevel=warn']);
    // An add-on from an earlier configuration would be loaded as if current.
    if (!library.lib) fs.rmSync(path.join(build, 'Release', 'qel.node'), { force: true });
  }
  run(['build', '--loglevel=warn', '-j', 'max']);
  makeLogFolder();
  fs.writeFileSync(record, `${JSON.stringify(wanted)}\n`);
}

const configured = isConfigured();
// Built and current: nothing is run and nothing written, so that a user
// may install a folder that root built and owns.
if (configured && extra.length === 0 && upToDate()) {
  makeLogFolder();
  process.exit(0);
}

try {
  buildFromSource(configured);
} catch (e) {
  // A file of the build that this user may not replace, found halfway.
  if (!e.code) throw e;
  fail(`cannot build in ${root}: ${e.message}`);
}
