#!/usr/bin/env node
// Paths that the build needs, printed one per call for binding.gyp and the
// set-up scripts, or required as a module by bin/qel-build.js.
//
// The real flavour drives the I2C controller of a Raspberry Pi through the
// bcm2835 library, so it is built for the Pi's processors only (arm,
// arm64): anywhere else it would refuse to start (it reads the board's model
// first), and the simulated flavour already compiles the same bcm2835
// backend against the simulated bridge. It links the library into a shared
// object, so only an archive that links there will do: the system's
// (libbcm2835-dev), tried with a trial link, since an archive of another
// architecture or one not built position-independent does not. With no
// usable archive bcm2835-lib is empty and qel.node is not built.
'use strict';
const { spawnSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');

const root = path.resolve(__dirname, '..');

// Debian's multiarch directory of each Raspberry Pi processor.
const PI_TRIPLETS = { arm: 'arm-linux-gnueabihf', arm64: 'aarch64-linux-gnu' };

function candidates() {
  const list = [
    { lib: `/usr/lib/${PI_TRIPLETS[process.arch]}/libbcm2835.a`, include: '/usr/include' },
    { lib: '/usr/local/lib/libbcm2835.a', include: '/usr/local/include' },
  ];
  return list.filter((c) => fs.existsSync(c.lib) && fs.existsSync(path.join(c.include, 'bcm2835.h')));
}

// Whether the whole archive goes into a shared object, as it must for qel.node.
function linksIntoAddon(lib) {
  const out = path.join(os.tmpdir(), `qel-bcm2835-probe-${process.pid}.so`);
  const cxx = (process.env.CXX || 'g++').split(/\s+/);
  const r = spawnSync(cxx[0], [...cxx.slice(1), '-shared', '-o', out, '-Wl,--whole-archive', lib, '-Wl,--no-whole-archive'],
    { stdio: 'ignore' });
  fs.rmSync(out, { force: true });
  return r.status === 0;
}

// Whether this is a Raspberry Pi's processor, the only one qel.node is made for.
const onPiProcessor = () => Boolean(PI_TRIPLETS[process.arch]);

// { lib, include } of the usable bcm2835 library, or { problem } saying why
// there is none.
function bcm2835() {
  if (!onPiProcessor()) {
    return { problem: `it drives a Raspberry Pi and is built on its processors only (arm, arm64); this is ${process.arch}, where it would refuse to start` };
  }
  const found = candidates();
  const usable = found.find((c) => linksIntoAddon(c.lib));
  if (usable) return usable;
  if (found.length === 0) return { problem: 'the bcm2835 library (libbcm2835.a with bcm2835.h) is not installed' };
  return { problem: `${found.map((c) => c.lib).join(', ')} cannot be linked into an add-on (not position-independent, or not for ${process.arch})` };
}

// `text` as a C string literal whose only characters besides the quotes
// are letters, digits, blanks and "/._-": every other byte is an octal
// escape, so that no character of a folder's name means anything to make,
// the shell or gyp on its way into a -D define.
function cLiteral(text) {
  const bytes = [...Buffer.from(text, 'utf8')];
  return `"${bytes.map((b) => (/[A-Za-z0-9 /._-]/.test(String.fromCharCode(b)) && b < 0x80
    ? String.fromCharCode(b) : `\\${b.toString(8).padStart(3, '0')}`)).join('')}"`;
}

// nan's headers relative to the build folder, where the compiler runs: the
// node_modules folders that Node searches from the package, and so only
// "../" steps and "node_modules/nan", whatever the folders above are called
// (an -isystem path reaches make and the shell unquoted).
function nanInclude() {
  for (let dir = root; ; dir = path.dirname(dir)) {
    const nan = path.join(dir, 'node_modules', 'nan');
    if (path.basename(dir) !== 'node_modules' && fs.existsSync(path.join(nan, 'nan.h'))) {
      return path.relative(path.join(root, 'build'), nan);
    }
    if (dir === path.dirname(dir)) throw new Error(`nan is not installed in or above ${root}`);
  }
}

// A path for binding.gyp, which hands paths to make and the shell
// unquoted: one inside the package relative to `from` (the package for
// include_dirs, which gyp resolves from there; the build folder for
// libraries, where the linker runs), so that the names of the folders above
// never reach them.
function forGyp(p, from) {
  return p && p.startsWith(`${root}${path.sep}`) ? path.relative(from, p) : p;
}

// The file that `id` names, looked up from `dir` as require would, or null.
function resolveFrom(dir, id) {
  try {
    return require.resolve(id, { paths: [dir] });
  } catch {
    return null;
  }
}

// The folder of the npm on PATH (npm-cli.js), or null.
function npmFolder() {
  if (process.env.npm_execpath) return path.dirname(process.env.npm_execpath);
  const dir = (process.env.PATH || '').split(':').find((d) => fs.existsSync(path.join(d || '.', 'npm')));
  return dir === undefined ? null : path.dirname(fs.realpathSync(path.join(dir || '.', 'npm')));
}

// node-gyp: the one npm gives the install scripts it runs; else the
// repository's own (a development dependency, the version the tests use);
// else the one that comes with npm, which npm itself would give. Nothing is
// fetched for it: npm leaves a development dependency out of an install of
// the package's dependencies, and an application that loads a prebuild
// needs no node-gyp at all. The benchmark's own add-on is built with the
// same one, so that it builds wherever the package does.
const GYP = 'node-gyp/bin/node-gyp.js';
function nodeGyp() {
  const given = process.env.npm_config_node_gyp;
  if (given && fs.existsSync(given)) return given;
  const npm = npmFolder();
  return resolveFrom(root, GYP) || (npm && resolveFrom(npm, GYP)) || null;
}

const paths = {
  'root': () => root,
  // qel.node's alone: the simulated flavour's bcm2835 backend drives the
  // simulated controller and includes no header of the library.
  'bcm2835-include': () => bcm2835().include || '',
  'bcm2835-lib': () => bcm2835().lib || '',
  'gyp-bcm2835-include': () => forGyp(paths['bcm2835-include'](), root),
  'gyp-bcm2835-lib': () => forGyp(paths['bcm2835-lib'](), path.join(root, 'build')),
  // The one version string, package.json's, for getVersion and the log header.
  'version-literal': () => cLiteral(JSON.parse(fs.readFileSync(path.join(root, 'package.json'), 'utf8')).version),
  'nan-include': nanInclude,
  // The headers that come with the running Node: <prefix>/include/node.
  'nodedir': () => path.resolve(path.dirname(process.execPath), '..'),
  'node-gyp': () => nodeGyp() || '',
};

if (require.main === module) {
  const what = process.argv[2];
  if (!paths[what]) {
    console.error(`usage: build-paths.js ${Object.keys(paths).join('|')}`);
    process.exit(2);
  }
  process.stdout.write(paths[what]());
} else {
  module.exports = { bcm2835, onPiProcessor, resolveFrom, npmFolder, nodeGyp, root };
}
