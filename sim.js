'use strict';
// The same driver on the simulated CAN bridge, with its control surface as
// `bridge`. bridge.frame builds a valid bridge frame for bridge.receive, so
// an application or a test needs no checksum code of its own.
const fs = require('fs');
const os = require('os');
const path = require('path');

const qel = require('./lib/load-addon')('qel_sim');

// Whether this user may write the log file `file`: an existing one, or a
// new one in its folder.
function writable(file) {
  try {
    fs.accessSync(fs.existsSync(file) ? file : path.dirname(file), fs.constants.W_OK);
    return true;
  } catch {
    return false;
  }
}

// The debug log: QEL_SIM_LOG; else build/sim-log in the package's folder,
// which a source build makes, when this user may write there; else (a
// prebuilt add-on, or a folder that root built and owns) a folder of the
// user's own in the temporary directory (one that someone else made there
// is not used).
function logPath() {
  if (process.env.QEL_SIM_LOG) return path.resolve(process.env.QEL_SIM_LOG);
  const inPackage = path.join(__dirname, 'build', 'sim-log', 'qel_cc_log.txt');
  if (fs.existsSync(path.dirname(inPackage)) && writable(inPackage)) return inPackage;
  const uid = process.getuid ? process.getuid() : 0;
  let own = path.join(os.tmpdir(), `corvalith-${uid}`);
  try {
    fs.mkdirSync(own, { mode: 0o700 });
  } catch { /* there already */ }
  const st = fs.lstatSync(own, { throwIfNoEntry: false });
  if (!st || !st.isDirectory() || st.uid !== uid) own = fs.mkdtempSync(path.join(os.tmpdir(), 'corvalith-'));
  return path.join(own, 'qel_cc_log.txt');
}

qel.bridge.setLogPath(logPath());
qel.bridge.frame = require('./lib/frame').bridgeFrame;
qel.open = require('./lib/open')(qel);
module.exports = qel;
