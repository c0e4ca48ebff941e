// Types of `require('corvalith/i2c-dev')`: the driver of `require('corvalith')`
// reaching the bridge through the kernel's I2C driver. A driverStart that
// cannot open the device file throws with the errno name as its code
// (ENOENT: no such device; EACCES: the user may not open it).
import qel = require('./index');
export = qel;
