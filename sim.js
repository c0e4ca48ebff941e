'use strict';
// The same driver on the simulated CAN bridge, with its control surface as
// `bridge`. bridge.frame builds a valid bridge frame for bridge.receive, so
// an application or a test needs no checksum code of its own.
const qel = require('./lib/load-addon')(`${__dirname}/build/Release/qel_sim.node`);

qel.bridge.frame = require('./lib/frame').bridgeFrame;
module.exports = qel;
