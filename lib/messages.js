'use strict';
// The texts of the JavaScript wrapper; the add-on's own are in
// src/qel/messages.h.
module.exports = {
  MSG_LOADED_TWICE: 'QEL Driver -- The driver is already loaded in this process; load it once and share its exports',
  MSG_REAL_NOT_BUILT: 'QEL Driver -- qel.node, the driver for the real CAN bridge, was not built: %s. ' +
    'On a Raspberry Pi: apt-get install libbcm2835-dev, then npm rebuild corvalith; on another machine: ' +
    'run bin/qel-setup (as root) in %s. Without the bridge: require(\'corvalith/sim\')',
  MSG_SIM_NOT_BUILT: 'QEL Driver -- qel_sim.node was not built: run npm rebuild corvalith, or bin/qel-setup in %s',
  MSG_I2CDEV_NOT_BUILT: 'QEL Driver -- qel_i2cdev.node, the driver for the real CAN bridge through /dev/i2c-1, was not built: ' +
    'run npm rebuild corvalith, or bin/qel-setup in %s',
};
