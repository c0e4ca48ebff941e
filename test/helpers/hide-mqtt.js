'use strict';
// Loaded with `node --require`: the mqtt package looks not installed, as in
// an application that does not publish.
const Module = require('module');

const resolve = Module._resolveFilename;
Module._resolveFilename = function hidingMqtt(request, ...rest) {
  if (request === 'mqtt' || request.startsWith('mqtt/')) {
    const e = new Error(`Cannot find module '${request}'`);
    e.code = 'MODULE_NOT_FOUND';
    throw e;
  }
  return resolve.call(this, request, ...rest);
};
