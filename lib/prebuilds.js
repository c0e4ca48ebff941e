'use strict';
// Prebuilt add-ons inside the package, named as prebuildify names them and
// node-gyp-build reads them: prebuilds/<platform>-<arch>/<name>.<tags>.node,
// the tags separated by dots: abi<N> (Node's module ABI, which a NAN add-on
// is built for), armv<N> (the oldest ARM architecture it runs on) and the
// C library (glibc). node-gyp-build itself picks one add-on per package,
// whatever its name; this package holds three flavours side by side, so
// the choice by name is made here, with the same names and tags.
const fs = require('fs');
const path = require('path');

const root = path.resolve(__dirname, '..');

// The tags of a file name, or null when it is not one of `name`'s.
function tagsOf(file, name) {
  const parts = file.split('.');
  if (parts.length < 3 || parts[0] !== name || parts[parts.length - 1] !== 'node') return null;
  const tags = {};
  for (const part of parts.slice(1, -1)) {
    let m;
    if ((m = /^abi(\d+)$/.exec(part))) tags.abi = m[1];
    else if ((m = /^armv(\d+)$/.exec(part))) tags.armv = Number(m[1]);
    else if (part === 'glibc' || part === 'musl') tags.libc = part;
  }
  return tags;
}

// This process: what a prebuild must match.
function host() {
  const arm = process.arch === 'arm' ? Number(process.config.variables.arm_version) || 6 : 0;
  const musl = process.platform === 'linux' && fs.existsSync('/etc/alpine-release');
  return { platform: process.platform, arch: process.arch, abi: process.versions.modules, arm, libc: musl ? 'musl' : 'glibc' };
}

function matches(tags, want) {
  if (tags.abi !== want.abi) return false;
  if ((tags.libc || 'glibc') !== want.libc) return false;
  // Code for an older ARM architecture runs on a newer one.
  return !want.arm || !tags.armv || tags.armv <= want.arm;
}

// The path of the prebuilt add-on `name` (qel, qel_sim, qel_i2cdev) that
// this process can load, or null; of several, the newest ARM architecture.
function prebuilt(name, want = host(), dir = path.join(root, 'prebuilds')) {
  let files;
  try {
    files = fs.readdirSync(path.join(dir, `${want.platform}-${want.arch}`));
  } catch {
    return null;
  }
  const fitting = files.map((file) => ({ file, tags: tagsOf(file, name) }))
    .filter((c) => c.tags && matches(c.tags, want))
    .sort((a, b) => (b.tags.armv || 0) - (a.tags.armv || 0));
  return fitting.length > 0 ? path.join(dir, `${want.platform}-${want.arch}`, fitting[0].file) : null;
}

// The file name a prebuild of `name` gets for a Node of module ABI `abi`.
function fileName(name, abi, armv) {
  return [name, `abi${abi}`, ...(armv ? [`armv${armv}`] : []), 'glibc', 'node'].join('.');
}

module.exports = { prebuilt, fileName, host, tagsOf };
