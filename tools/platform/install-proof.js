#!/usr/bin/env node
// The prebuilt path as a user meets it: packs the project with add-ons of
// one platform and Node as its prebuilds, installs the tarball into a new
// application with a PATH that holds nothing but that Node and sh (no
// compiler, no make, no python3, no node-gyp), and runs it: the simulated
// flavour with a frame, and `npx qel-monitor --sim`. Prints one JSON line
// with what it found and exits non-zero when a step failed.
//
//   install-proof.js PROJECT ADDONS|TARBALL [LAUNCHER...]
//
// PROJECT is the project's folder; ADDONS the folder of the built add-ons
// (build/Release), or TARBALL a packed package (npm pack) to install as it
// is; LAUNCHER the command that runs the Node to install with
// (default: this Node), e.g. "qemu-aarch64 -E LD_LIBRARY_PATH=... node".
// QEL_PROOF_ARMV names the ARM architecture tag of 32-bit ARM add-ons.
'use strict';
const { spawnSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');

const [project, addons, ...launcherArgs] = process.argv.slice(2);
const launcher = launcherArgs.length > 0 ? launcherArgs : [process.execPath];
// The full name of a program on this PATH: the runs below have one of their own.
const which = (program) => spawnSync('sh', ['-c', `command -v '${program}'`], { encoding: 'utf8' }).stdout.trim();
if (!launcher[0].includes('/')) launcher[0] = which(launcher[0]) || launcher[0];
const { fileName } = require(path.join(project, 'lib', 'prebuilds'));

function run(command, args, options = {}) {
  const r = spawnSync(command, args, { encoding: 'utf8', maxBuffer: 16 * 1024 * 1024, timeout: 600000, ...options });
  const stderr = `${r.stderr || ''}${r.error ? `${r.error.message}\n` : ''}${r.signal ? `ended by ${r.signal}\n` : ''}`;
  return { status: r.status, stdout: r.stdout || '', stderr, error: r.error };
}

function fail(step, detail) {
  console.log(JSON.stringify({ ok: false, step, detail: String(detail).slice(-4000) }));
  process.exit(1);
}

// The Node's platform, architecture, ABI and major version.
function target() {
  const r = run(launcher[0], [...launcher.slice(1), '-p',
    'JSON.stringify([process.platform, process.arch, process.versions.modules, process.versions.node])']);
  if (r.status !== 0) fail('node', r.stderr || r.error);
  const [platform, arch, abi, version] = JSON.parse(r.stdout);
  return { platform, arch, abi, major: Number(version.split('.')[0]), version };
}

// npm for that Node: the machine's own, or npm 10 for Node 18 (npm 11
// needs Node 20), fetched once into build/npm10.
function npmCli(major) {
  const own = fs.realpathSync(which('npm'));
  if (major >= 20) return own;
  const dir = path.join(project, 'build', 'npm10');
  const cli = path.join(dir, 'package', 'bin', 'npm-cli.js');
  if (!fs.existsSync(cli)) {
    fs.mkdirSync(dir, { recursive: true });
    const packed = run(process.execPath, [own, 'pack', 'npm@10', '--pack-destination', dir, '--silent'], { cwd: dir });
    if (packed.status !== 0) fail('npm10', packed.stderr);
    run('tar', ['xzf', path.join(dir, packed.stdout.trim().split('\n').pop()), '-C', dir]);
  }
  return cli;
}

// The project's package files and the add-ons as its prebuilds, packed.
function pack(top, t) {
  const stage = path.join(top, 'stage');
  const { files } = JSON.parse(fs.readFileSync(path.join(project, 'package.json'), 'utf8'));
  for (const f of [...files, 'package.json', 'LICENSE', 'README.md']) {
    if (fs.existsSync(path.join(project, f))) fs.cpSync(path.join(project, f), path.join(stage, f), { recursive: true });
  }
  const dir = path.join(stage, 'prebuilds', `${t.platform}-${t.arch}`);
  fs.mkdirSync(dir, { recursive: true });
  const armv = t.arch === 'arm' ? Number(process.env.QEL_PROOF_ARMV || 7) : 0;
  for (const f of fs.readdirSync(addons).filter((n) => n.endsWith('.node'))) {
    fs.copyFileSync(path.join(addons, f), path.join(dir, fileName(path.basename(f, '.node'), t.abi, armv)));
  }
  const r = run('npm', ['pack', '--ignore-scripts', '--silent', '--pack-destination', top], { cwd: stage });
  if (r.status !== 0) fail('pack', r.stderr);
  return path.join(top, r.stdout.trim().split('\n').pop());
}

// A folder whose PATH offers that Node and sh, nothing else.
function toolPath(top) {
  const bin = path.join(top, 'bin');
  fs.mkdirSync(bin);
  const quoted = launcher.map((w) => `'${w.replace(/'/g, "'\\''")}'`).join(' ');
  fs.writeFileSync(path.join(bin, 'node'), `#!/bin/sh\nexec ${quoted} "$@"\n`, { mode: 0o755 });
  fs.symlinkSync('/bin/sh', path.join(bin, 'sh'));
  return bin;
}

const SIM_RUN = `
  const qel = require('corvalith/sim');
  const got = [];
  qel.registerCallback((s) => got.push([s.msg_id, [...s.msg_data]]));
  qel.driverStart(0, 1000, -1, 300, undefined, undefined, false);
  qel.bridge.receive(qel.bridge.frame(0x4a1, [7, 5]));
  const end = Date.now() + 60000;
  (function wait() {
    if (got.length > 0 || Date.now() > end) { console.log('#' + JSON.stringify({ got, version: qel.getVersion() })); process.exit(0); }
    setTimeout(wait, 10);
  })();`;

function main() {
  const t = target();
  const top = fs.mkdtempSync(path.join(os.tmpdir(), 'qel-proof-'));
  try {
    const tarball = addons.endsWith('.tgz') ? path.resolve(addons) : pack(top, t);
    const app = path.join(top, 'lift-app');
    fs.mkdirSync(app);
    fs.writeFileSync(path.join(app, 'package.json'), '{ "name": "lift-app", "version": "1.0.0", "private": true }\n');
    const env = { HOME: process.env.HOME, PATH: toolPath(top), LANG: 'C' };
    const npm = npmCli(t.major);
    const npmRun = (args) => run(launcher[0], [...launcher.slice(1), npm, ...args], { cwd: app, env });
    const installed = npmRun(['install', tarball, '--no-audit', '--no-fund', '--prefer-offline', '--loglevel=error']);
    if (installed.status !== 0) fail('install', installed.stderr + installed.stdout);
    const tree = fs.readdirSync(path.join(app, 'node_modules')).filter((n) => !n.startsWith('.')).sort();
    // The package and nan; no build tool, and no MQTT client, which only a
    // node that publishes installs.
    const runtime = ['corvalith', 'nan'];
    if (!runtime.every((n) => tree.includes(n)) || tree.some((n) => ['node-gyp', 'typescript', 'mqtt'].includes(n))) fail('tree', tree.join(' '));
    if (fs.existsSync(path.join(app, 'node_modules', 'corvalith', 'build'))) fail('build', 'the install wrote build/ into the package');
    const sim = run(launcher[0], [...launcher.slice(1), '-e', SIM_RUN], { cwd: app, env });
    const line = sim.stdout.split('\n').find((l) => l.startsWith('#'));
    const result = line ? JSON.parse(line.slice(1)) : null;
    if (!result || JSON.stringify(result.got) !== JSON.stringify([[0x4a1, [7, 5, 0, 0, 0, 0, 0, 0]]])) fail('sim', sim.stdout + sim.stderr);
    const npx = path.join(path.dirname(npm), 'npx-cli.js');
    const monitor = run(launcher[0], [...launcher.slice(1), npx, '--no-install', 'qel-monitor', '--sim', '--duration', '2', '--lines'], { cwd: app, env });
    const statuses = monitor.stdout.split('\n').filter((l) => / id=0x[0-9a-f]+ class=/.test(l)).length;
    if (monitor.status !== 0 || statuses === 0) fail('monitor', monitor.stdout + monitor.stderr);
    const packedBytes = fs.statSync(tarball).size;
    console.log(JSON.stringify({ ok: true, node: t.version, platform: `${t.platform}-${t.arch}`, abi: t.abi, tree, version: result.version, statuses, packedBytes }));
  } finally {
    fs.rmSync(top, { recursive: true, force: true });
  }
}

main();
