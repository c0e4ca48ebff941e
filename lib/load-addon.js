'use strict';
// Loads one flavour of the add-on. The runtime registers a native module
// only the first time its file is opened in a process; a second load (after
// the module cache was cleared) is refused with the driver's own message.
const { MSG_LOADED_TWICE } = require('./messages');

module.exports = function loadAddon(file) {
  try {
    return require(file);
  } catch (e) {
    if (/did not self-register/.test(e.message)) {
      const err = new Error(MSG_LOADED_TWICE);
      err.cause = e;
      throw err;
    }
    throw e;
  }
};
