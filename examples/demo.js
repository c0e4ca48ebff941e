'use strict';
// A short run of the driver on the simulated CAN bridge: frames of each
// message class arrive, the application receives their status objects as
// events, and a command goes out on the bus.
const { open, bridge } = require('corvalith/sim');  // the package by its name: this file runs as it is in an application
const { frame } = bridge;  // a valid 16-byte bridge frame from an identifier and data

const bus = open({ i2cDelay: 1000, canBusDelay: 5000, heartbeat: 200000, debounce: 300 });
bus.on('status', (status) => {
  console.log(`app: 0x${status.msg_id.toString(16)} [${status.msg_data.toString('hex')}]` +
    ` counter=${status.counter} at ${status.timestamp} stats=${JSON.stringify(status.driver_stats)}`);
});

bridge.receive(frame(0x1a1, [1, 2, 3, 4, 5, 6, 7, 8]));  // cyclic: reported
bridge.receive(frame(0x1a1, [1, 2, 3, 4, 5, 6, 7, 8]));  // cyclic, unchanged: counted only
bridge.receive(frame(0x2c0, [1, 0, 0]));                 // debounced button press
bridge.receive(frame(0x2c0, [1, 0, 0]));                 // bounce: suppressed
bridge.receive(frame(0x4a1, [0x42]));                    // event: always reported
bridge.receive(frame(0x765, [5]));                       // heartbeat of another node: counted

setTimeout(async () => {
  await bus.send({ tft: 7, readCfg: 'all', copLight: true });  // settles once the frame is on the bus
  const last = bridge.writes().filter((w) => w.bytes[0] === 0x30 && w.bytes[4] === 0xe0).pop();
  console.log(`demo: command frame on the bus: ${last.bytes.toString('hex')}`);
  console.log('demo: status of 0x2c0:', bus.read(0x2c0));
  await bus.close();  // the driver stops; the program ends by itself
}, 500);
