'use strict';
// The driver's message catalogue, read from the one file that defines it,
// and a printf for its formats, so that tests expect exactly what the
// driver prints.
const fs = require('fs');
const path = require('path');

// The version getVersion returns and the log header shows: package.json's,
// which the build hands to the add-on.
const { version: VERSION } = require('../../package.json');

const source = fs.readFileSync(path.join(__dirname, '..', '..', 'src', 'qel', 'messages.h'), 'utf8');

const MSG = {};
for (const m of source.matchAll(/^#define (\w+) "((?:[^"\\]|\\.)*)"$/gm)) {
  MSG[m[1].replace(/^MSG_/, '')] = JSON.parse(`"${m[2]}"`);
}

// printf with the conversions the catalogue uses: %d %x %s %llu and widths.
function format(fmt, ...args) {
  let i = 0;
  return fmt.replace(/%(0?)(\d*)(ll)?([dxsu%])/g, (all, zero, width, ll, conv) => {
    if (conv === '%') return '%';
    const v = args[i++];
    let text;
    if (conv === 'd') text = String(Math.trunc(Number(v)));
    else if (conv === 'u') text = BigInt(v).toString();
    else if (conv === 'x') text = (Number(v) >>> 0).toString(16);
    else text = String(v);
    return width ? text.padStart(Number(width), zero ? '0' : ' ') : text;
  });
}

// With QEL_SIM_BUS=i2c-dev the simulated flavour reaches its bridge through
// the kernel backend and the emulated /dev/i2c-1: the bcm2835 library's
// start-up lines are the kernel path's there, and a failure code reaches the
// driver as the reason code that the kernel's errno maps onto.
const KERNEL = process.env.QEL_SIM_BUS === 'i2c-dev';
const kernelCode = (code) => (code === 1 ? 1 : 4);  // EREMOTEIO, else EIO
const ON_KERNEL = {
  CLOCK_DIVIDER: () => ['I2C_DEV_CLOCK', 400000, '/dev/i2c-1'],
  INIT_FAILED: () => ['I2C_DEV_DENIED', '/dev/i2c-1', 'i2c', 'i2c'],
  I2C_BEGIN_FAILED: () => ['I2C_DEV_ADDRESS_FAILED', '/dev/i2c-1', 0x25, 'Device or resource busy'],
  READ_FAILED: (code) => ['READ_FAILED', kernelCode(code)],
};

// The text the driver prints for `name` on the bus under test.
function msg(name, ...args) {
  if (!(name in MSG)) throw new Error(`no message ${name} in the catalogue`);
  if (KERNEL && ON_KERNEL[name]) {
    const [kernelName, ...kernelArgs] = ON_KERNEL[name](...args);
    return format(MSG[kernelName], ...kernelArgs);
  }
  return format(MSG[name], ...args);
}

module.exports = { VERSION, MSG, msg, format, KERNEL };
