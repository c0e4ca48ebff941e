'use strict';
// The texts of the JavaScript wrapper; the add-on's own are in
// src/qel/messages.h.
module.exports = {
  MSG_LOADED_TWICE: 'QEL Driver -- The driver is already loaded in this process; load it once and share its exports',
  MSG_REAL_NOT_BUILT: 'QEL Driver -- qel.node, the driver for the real CAN bridge, was not built: %s. ' +
    'On a Raspberry Pi: apt-get install libbcm2835-dev, then npm rebuild corvalith; on another machine: ' +
    'run bin/qel-setup (as root) in %s. Without the bridge: require(\'corvalith/sim\')',
  // Off a Raspberry Pi's processors no set-up builds qel.node: the other two
  // flavours are what runs there.
  MSG_REAL_NOT_ON_PI: 'QEL Driver -- qel.node, the driver for the real CAN bridge, was not built: %s. On this machine: ' +
    'require(\'corvalith/i2c-dev\') for the bridge through the kernel\'s I2C driver, or require(\'corvalith/sim\') for the simulated bridge',
  // The same text as the add-on's own (src/qel/messages.h), for a worker
  // that finds the add-on already loaded by the main thread.
  MSG_PREBUILD_DAMAGED: 'QEL Driver -- The prebuilt add-on %s is damaged: %s bytes where its headers describe %s; ' +
    'install the package again, or build it: npm rebuild corvalith',
  MSG_PREBUILDS_UNREADABLE: 'QEL Driver -- The prebuilt add-ons cannot be read: %s; let this user read that folder, ' +
    'or build the package: npm rebuild corvalith',
  MSG_SIM_NOT_BUILT: 'QEL Driver -- qel_sim.node was not built: run npm rebuild corvalith, or bin/qel-setup in %s',
  MSG_I2CDEV_NOT_BUILT: 'QEL Driver -- qel_i2cdev.node, the driver for the real CAN bridge through /dev/i2c-1, was not built: ' +
    'run npm rebuild corvalith, or bin/qel-setup in %s',
};
