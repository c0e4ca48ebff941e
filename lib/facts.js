'use strict';
// The driver's facts: its message slots, the settings it starts with, its
// error codes, the layout of the bridge's frames and the rules of its
// functions' arguments, as the add-on runs on them (its frozen `facts`).
// The JavaScript side keeps no copy of its own. Every flavour carries the
// same facts: those of a flavour this thread has loaded, else of the first
// that loads.
const loadAddon = require('./load-addon');

const LOADED = Symbol.for('corvalith.loaded');
const FLAVOURS = ['qel_i2cdev', 'qel_sim', 'qel'];

function facts() {
  for (const addon of (globalThis[LOADED] || new Map()).values()) if (addon.facts) return addon.facts;
  let firstError;
  for (const name of FLAVOURS) {
    try {
      return loadAddon(name).facts;
    } catch (e) {
      firstError ??= e;
    }
  }
  throw firstError;
}

module.exports = facts();
