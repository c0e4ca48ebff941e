// Where the types of Node.js are present, msg_data is their Buffer. This
// stands in for @types/node with a Buffer of its own.
import qel = require('../..');

declare global {
  interface FakeNodeBuffer extends Uint8Array {
    readUInt16BE(offset: number): number;
  }
  // eslint-disable-next-line no-var
  var Buffer: { prototype: FakeNodeBuffer; from(bytes: number[]): FakeNodeBuffer };
}

const word: number = qel.readStatus(0x1a1).msg_data.readUInt16BE(0);
qel.writeParameter(1, Buffer.from([1]));
void word;
