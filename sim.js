'use strict';
// The same driver on the simulated CAN bridge, with its control surface as
// `bridge`.
module.exports = require('./lib/load-addon')(`${__dirname}/build/Release/qel_sim.node`);
