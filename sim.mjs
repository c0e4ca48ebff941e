// The driver on the simulated CAN bridge as an ES module: the default export
// is the same object as require('corvalith/sim') gives; the functions and
// `bridge` are also named exports.
import qel from './sim.js';

export default qel;
export const {
  registerCallback, driverStart, sendCommand, writeParameter, readStatus, simulate, clearMem, getVersion, bridge,
} = qel;
