'use strict';
// The tests build frames with the package's own helpers (lib/frame.js).
module.exports = require('../../lib/frame');
