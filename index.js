'use strict';
// The driver on the real CAN bridge (bcm2835 I2C master).
module.exports = require('./lib/load-addon')('qel');
