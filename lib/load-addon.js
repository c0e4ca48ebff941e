'use strict';
// Loads one flavour of the add-on: a source build (build/Release) when the
// package has one that this Node can load, else the prebuilt add-on that
// matches the platform, architecture and Node's ABI (lib/prebuilds.js). An
// installed package has a source build only where no prebuild matched; in
// the repository the source build is the one being worked on. The runtime
// registers a native module only the first time its file is opened in a
// process; a second load (after the module cache was cleared) is refused
// with the driver's own message.
const fs = require('fs');
const path = require('path');
const { prebuilt } = require('./prebuilds');
const { MSG_LOADED_TWICE, MSG_REAL_NOT_BUILT, MSG_SIM_NOT_BUILT, MSG_I2CDEV_NOT_BUILT } = require('./messages');

const root = path.resolve(__dirname, '..');

// Why there is no qel.node: as bin/qel-build.js recorded it, or, where
// nothing was built, off a Raspberry Pi's processors that it has none.
function whyNotBuilt() {
  try {
    const { problem } = JSON.parse(fs.readFileSync(path.join(root, 'build', 'qel-build.json'), 'utf8'));
    if (problem) return problem;
  } catch { /* no build was configured */ }
  const { bcm2835, onPiProcessor } = require('./build-paths');
  if (!onPiProcessor()) return bcm2835().problem;
  return 'the package was installed without building it';
}

// An Error with `code`, the property a program branches on.
function codedError(message, code) {
  const err = new Error(message);
  err.code = code;
  return err;
}

function notBuilt(name) {
  if (name === 'qel') return codedError(MSG_REAL_NOT_BUILT.replace('%s', whyNotBuilt()).replace('%s', root), 'QEL_NOT_BUILT');
  const text = (name === 'qel_i2cdev' ? MSG_I2CDEV_NOT_BUILT : MSG_SIM_NOT_BUILT).replace('%s', root);
  return codedError(text, 'QEL_NOT_BUILT');
}

function load(file) {
  try {
    return require(file);
  } catch (e) {
    if (/did not self-register/.test(e.message)) {
      const err = codedError(MSG_LOADED_TWICE, 'QEL_LOADED_TWICE');
      err.cause = e;
      throw err;
    }
    throw e;
  }
}

// `name`: qel, qel_sim or qel_i2cdev. A source build made for another Node
// (its ABI) gives way to a matching prebuild.
module.exports = function loadAddon(name) {
  const source = path.join(root, 'build', 'Release', `${name}.node`);
  const prebuild = prebuilt(name);
  if (fs.existsSync(source)) {
    try {
      return load(source);
    } catch (e) {
      if (!prebuild || !/NODE_MODULE_VERSION/.test(e.message)) throw e;
    }
  }
  if (prebuild) return load(prebuild);
  throw notBuilt(name);
};
