#!/usr/bin/env node
// Builds both flavours of the add-on, qel.node and qel_sim.node, with the
// headers of the Node that runs this script: nothing is downloaded, and no
// setting of the machine (an npmrc's nodedir) decides which headers are used.
'use strict';
const { spawnSync } = require('child_process');
const fs = require('fs');
const path = require('path');

const root = path.resolve(__dirname, '..');
const nodedir = process.env.QEL_NODEDIR || path.resolve(path.dirname(process.execPath), '..');
const extra = process.argv.slice(2);

function fail(message) {
  console.error(`qel-build: ${message}`);
  process.exit(1);
}

if (!fs.existsSync(path.join(nodedir, 'include', 'node', 'common.gypi'))) {
  fail(`no Node headers under ${nodedir}/include/node (install the headers that belong to ${process.execPath})`);
}

let gyp;
try {
  gyp = require.resolve('node-gyp/bin/node-gyp.js', { paths: [root] });
} catch {
  fail('node-gyp is not installed: run `npm install` first');
}

const env = { ...process.env };
for (const key of Object.keys(env)) {
  if (/^npm_config_(nodedir|target|arch|dist_url|devdir)$/i.test(key)) delete env[key];
}

function run(args) {
  // Quiet when all goes well; everything the build said when it fails.
  const r = spawnSync(process.execPath, [gyp, ...args, `--nodedir=${nodedir}`, ...extra], {
    cwd: root,
    env,
    encoding: 'utf8',
    maxBuffer: 64 * 1024 * 1024,
  });
  if (r.status !== 0) {
    process.stderr.write(`${r.stdout || ''}${r.stderr || ''}`);
    fail(`node-gyp ${args[0]} failed`);
  }
  const warnings = `${r.stdout || ''}${r.stderr || ''}`.split('\n').filter((l) => /warning:/.test(l));
  if (warnings.length > 0) process.stderr.write(`${warnings.join('\n')}\n`);
}

const makefile = path.join(root, 'build', 'Makefile');
const configured = fs.existsSync(makefile) &&
  fs.statSync(makefile).mtimeMs >= fs.statSync(path.join(root, 'binding.gyp')).mtimeMs &&
  fs.existsSync(path.join(root, 'build', 'config.gypi')) &&
  fs.readFileSync(path.join(root, 'build', 'config.gypi'), 'utf8').includes(nodedir);
if (!configured || extra.length > 0) run(['configure', '--loglevel=warn']);
run(['build', '--loglevel=warn', `-j`, 'max']);
