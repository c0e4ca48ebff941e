'use strict';
// The same driver on the simulated CAN bridge, with its control surface as
// `bridge`.
module.exports = require('./build/Release/qel_sim.node');
