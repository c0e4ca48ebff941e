// Types of `require('corvalith/i2c-dev')`: the driver of `require('corvalith')`
// reaching the bridge through the kernel's I2C driver.
import qel = require('./index');
export = qel;
