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
// A package without prebuilds for this platform has none; a folder this
// user may not read throws its error (EACCES), which is no missing build.
function prebuilt(name, want = host(), dir = path.join(root, 'prebuilds')) {
  let files;
  try {
    files = fs.readdirSync(path.join(dir, `${want.platform}-${want.arch}`));
  } catch (e) {
    if (e.code === 'ENOENT' || e.code === 'ENOTDIR') return null;
    throw e;
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

// The bytes that an ELF file's headers say it holds: the end of its section
// header table and of every program header's extent in the file. The
// dynamic loader maps segments without checking that the file reaches
// their end, and touching a page past it kills the process with SIGBUS,
// so a file cut short (an interrupted copy, a failing SD card) must be
// caught before it is loaded. 0 for what is no ELF file (dlopen refuses
// that itself, with an error one can catch).
function elfExtent(fd) {
  const head = Buffer.alloc(64);
  const got = fs.readSync(fd, head, 0, 64, 0);
  if (got < 20 || head.readUInt32BE(0) !== 0x7f454c46) return 0;
  const wide = head[4] === 2;
  const little = head[5] !== 2;
  const u16 = (b, at) => (little ? b.readUInt16LE(at) : b.readUInt16BE(at));
  const word = (b, at) => (wide ? Number(little ? b.readBigUInt64LE(at) : b.readBigUInt64BE(at))
    : (little ? b.readUInt32LE(at) : b.readUInt32BE(at)));
  const headSize = wide ? 64 : 52;
  if (got < headSize) return headSize;
  const [phoff, shoff] = wide ? [word(head, 0x20), word(head, 0x28)] : [word(head, 0x1c), word(head, 0x20)];
  const [phentsize, phnum, shentsize, shnum] = [0, 2, 4, 6].map((k) => u16(head, (wide ? 0x36 : 0x2a) + k));
  const table = Buffer.alloc(phentsize * phnum);
  const tableGot = fs.readSync(fd, table, 0, table.length, phoff);
  let end = Math.max(headSize, shoff + shentsize * shnum, phoff + table.length);
  for (let at = 0; at + phentsize <= tableGot; at += phentsize) {
    const [offset, filesz] = wide ? [word(table, at + 8), word(table, at + 0x20)] : [word(table, at + 4), word(table, at + 0x10)];
    end = Math.max(end, offset + filesz);
  }
  return end;
}

// { size, needed } when `file` is shorter than its ELF headers say, else null.
function shortfall(file) {
  const fd = fs.openSync(file, 'r');
  try {
    const { size } = fs.fstatSync(fd);
    const needed = elfExtent(fd);
    return size < needed ? { size, needed } : null;
  } finally {
    fs.closeSync(fd);
  }
}

module.exports = { prebuilt, fileName, host, tagsOf, shortfall };
