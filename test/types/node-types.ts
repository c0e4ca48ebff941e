// An application with Node's own types (@types/node): msg_data is Node's
// Buffer, and a Buffer is what writeParameter and the bridge take.
import qel = require('../..');
import sim = require('../../sim');

const word: number = qel.readStatus(0x1a1).msg_data.readUInt16BE(0);
qel.writeParameter(1, Buffer.from([1]));
const frame: Buffer = sim.bridge.frame(0x2c0, Buffer.from([1, 0xc0]));
sim.bridge.receive(frame);
void word;
