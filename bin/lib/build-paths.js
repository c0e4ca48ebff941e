#!/usr/bin/env node
// Paths that the build needs, printed one per call for binding.gyp and the
// set-up scripts. The bcm2835 library is the one that the set-up built
// position-independent inside the build tree when there is one, else the
// system's (Debian's armhf archive links as it is).
'use strict';
const fs = require('fs');
const path = require('path');

const root = path.resolve(__dirname, '..', '..');
const deps = path.join(root, 'build', 'deps', 'bcm2835');

function firstExisting(candidates) {
  return candidates.find((p) => fs.existsSync(p));
}

const paths = {
  'root': () => root,
  'deps': () => deps,
  'bcm2835-include': () =>
    firstExisting([path.join(deps, 'include'), '/usr/include']) || '/usr/include',
  'bcm2835-lib': () =>
    firstExisting([
      path.join(deps, 'libbcm2835.a'),
      '/usr/lib/arm-linux-gnueabihf/libbcm2835.a',
      '/usr/lib/aarch64-linux-gnu/libbcm2835.a',
      '/usr/lib/libbcm2835.a',
    ]) || '-lbcm2835',
  'sim-log-path': () => path.join(root, 'build', 'sim-log', 'qel_cc_log.txt'),
  // The headers that come with the running Node: <prefix>/include/node.
  'nodedir': () => path.resolve(path.dirname(process.execPath), '..'),
};

const what = process.argv[2];
if (!paths[what]) {
  console.error(`usage: build-paths.js ${Object.keys(paths).join('|')}`);
  process.exit(2);
}
process.stdout.write(paths[what]());
