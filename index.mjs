// The driver on the real CAN bridge as an ES module: the default export is
// the same object as require('corvalith') gives, and each function is also
// a named export. Both ways of loading share the one add-on instance.
import { createRequire } from 'module';

// Through require, not an import of the CommonJS file: a load that throws
// (an add-on that was not built) then stays a plain, catchable error.
const qel = createRequire(import.meta.url)('./index.js');

export default qel;
export const {
  registerCallback, driverStart, sendCommand, writeParameter, readStatus, simulate, clearMem, getVersion, capture, mirror, driverStop, open,
} = qel;
