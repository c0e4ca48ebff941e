'use strict';
// The driver on the real CAN bridge (bcm2835 I2C master).
const qel = require('./lib/load-addon')('qel');

// After the add-on's own functions: open(), the driver as an object.
qel.open = require('./lib/open')(qel);
module.exports = qel;
