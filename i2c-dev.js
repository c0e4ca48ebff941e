'use strict';
// The driver on the real CAN bridge through the kernel's I2C driver
// (/dev/i2c-1, or the device named by QEL_I2C_DEVICE): no root, and the
// Raspberry Pi 5 too.
const qel = require('./lib/load-addon')('qel_i2cdev');

qel.open = require('./lib/open')(qel);
module.exports = qel;
