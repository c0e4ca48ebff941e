// The driver on the simulated CAN bridge as an ES module: the default export
// is the same object as require('corvalith/sim') gives; the functions and
// `bridge` are also named exports.
import { createRequire } from 'module';

// Through require, not an import of the CommonJS file: a load that throws
// (an add-on that was not built) then stays a plain, catchable error.
const qel = createRequire(import.meta.url)('./sim.js');

export default qel;
export const {
  registerCallback, driverStart, sendCommand, writeParameter, readStatus, simulate, clearMem, getVersion, capture, mirror, driverStop,
  bridge, open,
} = qel;
