#!/usr/bin/env node
'use strict';
// A minimal QEL application, the kind that examples/qel-app.service runs:
// it prints every status object the driver delivers and reacts to a button.
// In an application of your own, write require('corvalith') (or 'corvalith/sim').
// `node examples/app.js --sim` runs it on the simulated bridge.
const path = require('path');

const sim = process.argv.includes('--sim');
const qel = require(path.join(__dirname, '..', sim ? 'sim' : ''));

let light = false;
qel.registerCallback((status) => {
  const id = `0x${status.msg_id.toString(16)}`;
  console.log(`app: ${id} data=${status.msg_data.toString('hex')} counter=${status.counter} ` +
    `stats=${JSON.stringify(status.driver_stats)}`);
  // A press of the button on 0x2C0 (data byte 0 = 1) switches the COP light.
  if (status.msg_id === 0x2c0 && status.msg_data[0] === 1) {
    light = !light;
    try {
      qel.sendCommand(-1, -1, light ? 1 : 0);
    } catch (e) {
      console.error(`app: ${e.message}`);
    }
  }
});

// When the service is stopped: stop the driver, which writes out the debug
// log and closes the bus; the process then ends by itself.
for (const signal of ['SIGTERM', 'SIGINT']) process.on(signal, () => qel.driverStop());

try {
  // Seven arguments; undefined keeps the driver's default.
  qel.driverStart(undefined, undefined, undefined, undefined, undefined, undefined, false);
} catch (e) {
  console.error(`app: cannot start the driver: ${e.message}`);
  process.exit(1);
}
console.log(`app: driver ${qel.getVersion()} started${sim ? ' on the simulated bridge' : ''}`);
