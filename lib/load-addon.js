'use strict';
// Loads one flavour of the add-on: a source build (build/Release) when the
// package has one that this Node can load, else the prebuilt add-on that
// matches the platform, architecture and Node's ABI (lib/prebuilds.js). An
// installed package has a source build only where no prebuild matched; in
// the repository the source build is the one being worked on. The runtime
// registers a native module only the first time its file is opened in a
// process: a second load on this thread gets the first one's exports; each
// worker thread loads it for itself.
const fs = require('fs');
const path = require('path');
const { prebuilt, shortfall } = require('./prebuilds');
const { onPiProcessor } = require('./build-paths');
const {
  MSG_LOADED_TWICE, MSG_REAL_NOT_BUILT, MSG_REAL_NOT_ON_PI, MSG_SIM_NOT_BUILT, MSG_I2CDEV_NOT_BUILT,
  MSG_PREBUILD_DAMAGED, MSG_PREBUILDS_UNREADABLE,
} = require('./messages');
// Leaves the writer of the driver's console lines where the add-on finds it.
require('./open/console');

const root = path.resolve(__dirname, '..');

// Why there is no qel.node: as bin/qel-build.js recorded it, or, where
// nothing was built, off a Raspberry Pi's processors that it has none.
function whyNotBuilt() {
  try {
    const { problem } = JSON.parse(fs.readFileSync(path.join(root, 'build', 'qel-build.json'), 'utf8'));
    if (problem) return problem;
  } catch { /* no build was configured */ }
  if (!onPiProcessor()) return require('./build-paths').bcm2835().problem;
  return 'the package was installed without building it';
}

// `text` with each %s replaced by the next of `values`.
const format = (text, ...values) => values.reduce((t, v) => t.replace('%s', v), text);

// An Error with `code`, the property a program branches on.
function codedError(message, code) {
  const err = new Error(message);
  err.code = code;
  return err;
}

function notBuilt(name) {
  if (name === 'qel') {
    const text = onPiProcessor() ? format(MSG_REAL_NOT_BUILT, whyNotBuilt(), root) : format(MSG_REAL_NOT_ON_PI, whyNotBuilt());
    return codedError(text, 'QEL_NOT_BUILT');
  }
  return codedError(format(name === 'qel_i2cdev' ? MSG_I2CDEV_NOT_BUILT : MSG_SIM_NOT_BUILT, root), 'QEL_NOT_BUILT');
}

// The add-ons this thread loaded, by file: a load after the module cache
// was cleared (a test runner's isolation, a hot reload) gets the same
// exports, the same driver, as the runtime would not register the add-on
// a second time.
const LOADED = Symbol.for('corvalith.loaded');

function load(file) {
  const loaded = globalThis[LOADED] || (globalThis[LOADED] = new Map());
  if (loaded.has(file)) return loaded.get(file);
  try {
    const addon = require(file);
    loaded.set(file, addon);
    return addon;
  } catch (e) {
    if (!/did not self-register/.test(e.message)) throw e;
    const err = codedError(MSG_LOADED_TWICE, 'QEL_LOADED_TWICE');
    err.cause = e;
    throw err;
  }
}

// The matching prebuild, or null; a folder this user may not read says so
// rather than passing for a package that was never built.
function findPrebuild(name) {
  try {
    return prebuilt(name);
  } catch (e) {
    throw Object.assign(codedError(format(MSG_PREBUILDS_UNREADABLE, e.message), 'QEL_NOT_BUILT'), { cause: e });
  }
}

// A prebuild cut short would be mapped past its end and the process killed
// (SIGBUS) where no one can catch it; it is refused before it is loaded.
function loadPrebuild(file) {
  const cut = shortfall(file);
  if (cut) throw codedError(format(MSG_PREBUILD_DAMAGED, file, cut.size, cut.needed), 'QEL_NOT_BUILT');
  return load(file);
}

// `name`: qel, qel_sim or qel_i2cdev. A source build made for another Node
// (its ABI) gives way to a matching prebuild.
module.exports = function loadAddon(name) {
  const source = path.join(root, 'build', 'Release', `${name}.node`);
  if (fs.existsSync(source)) {
    try {
      return load(source);
    } catch (e) {
      if (!/NODE_MODULE_VERSION/.test(e.message) || !findPrebuild(name)) throw e;
    }
  }
  const prebuild = findPrebuild(name);
  if (prebuild) return loadPrebuild(prebuild);
  throw notBuilt(name);
};
