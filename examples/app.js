#!/usr/bin/env node
'use strict';
// A minimal QEL application, the kind that examples/qel-app.service runs:
// it prints every status object the driver delivers and reacts to a button.
// Copy it into an application that installed the package and run it there:
// `node app.js` (the bcm2835 flavour, as root), `node app.js --i2c-dev` (the
// kernel's I2C driver, a member of group i2c), `node app.js --sim` (the
// simulated bridge, any machine, with a few frames to show).
const flavour = process.argv.includes('--sim') ? 'sim' : process.argv.includes('--i2c-dev') ? 'i2c-dev' : '';

// The package by its name: from the application's node_modules, and in a
// clone of the repository from the clone itself (a package may require
// itself by the name in its package.json).
const qel = require(flavour ? `corvalith/${flavour}` : 'corvalith');
const sim = flavour === 'sim';

let bus;
try {
  bus = qel.open();  // the driver's defaults; e.g. open({ enabledIds: [0x1a1, 0x2c0], debug: true })
} catch (e) {
  console.error(`app: cannot start the driver: ${e.message}`);
  process.exit(1);
}
// When the service is stopped: close the driver, which writes out the debug
// log and closes the bus; the process then ends by itself. Set
// before anything is printed: a stop may come as soon as the start is told.
for (const signal of ['SIGTERM', 'SIGINT']) process.on(signal, () => bus.close());
console.log(`app: driver ${qel.getVersion()} started${sim ? ' on the simulated bridge' : ''}`);

let light = false;
bus.on('status', (status) => {
  const id = `0x${status.msg_id.toString(16)}`;
  console.log(`app: ${id} data=${status.msg_data.toString('hex')} counter=${status.counter} ` +
    `stats=${JSON.stringify(status.driver_stats)}`);
  // A press of the button on 0x2C0 (data byte 0 = 1) switches the COP light.
  if (status.msg_id === 0x2c0 && status.msg_data[0] === 1) {
    light = !light;
    // The frame is written off the event loop; a bus write refused rejects.
    bus.send({ copLight: light }).catch((e) => console.error(`app: ${e.message}`));
  }
});
// The bridge stopped answering (power, wiring) and answers again: the driver sets it up anew by itself.
bus.on('bridgeDown', () => console.error('app: the CAN bridge stopped answering'));
bus.on('bridgeUp', (failed) => console.error(`app: the CAN bridge answers again after ${failed} failed transfers`));

// On the simulated bridge nothing moves by itself: the car position and a
// press of the button, as the bridge would read them off the bus.
if (sim) {
  qel.bridge.receive(qel.bridge.frame(0x1a1, [1, 2, 3, 4, 5, 6, 7, 8]));
  qel.bridge.receive(qel.bridge.frame(0x2c0, [1]));
}
