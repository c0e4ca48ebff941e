'use strict';
// Runs one driver lifetime in a process of its own: a scenario then
// starts from a fresh process whatever it leaves behind (a stalled output,
// a killed child, settings), and its standard output is its own. The body is the source of an async function that sees `qel`
// (the flavour's exports), `bridge`, `frame`, `simBytes`, `empty`,
// `checksum`, `msg`, `wait(ms)`, `until(fn, ms)`, `done(value)` and
// `TIME_FACTOR` (see below).
const { spawn } = require('child_process');
const fs = require('fs');
const path = require('path');

const root = path.resolve(__dirname, '..', '..');
const RESULT = '@@RESULT ';

// How a child Node is started: QEL_NODE_LAUNCHER, words separated by
// blanks, when the tests themselves run under an emulator (the emulated
// Node's own execPath is an ARM program that the host kernel cannot start),
// else this process's Node.
function nodeCommand() {
  const words = (process.env.QEL_NODE_LAUNCHER || '').split(/\s+/).filter((w) => w !== '');
  return words.length > 0 ? { file: words[0], args: words.slice(1) } : { file: process.execPath, args: [] };
}

// Deadlines (not pauses) stretch by QEL_TIME_FACTOR on slow hosts such as
// an emulator.
const TIME_FACTOR = Math.max(1, Number(process.env.QEL_TIME_FACTOR) || 1);

const ENTRIES = { real: root, sim: path.join(root, 'sim'), 'i2c-dev': path.join(root, 'i2c-dev') };

// qel.node is built on a Raspberry Pi's processors only: a test of the real
// flavour takes this as its skip option.
const NO_REAL = !['arm', 'arm64'].includes(process.arch) && `qel.node is built for a Raspberry Pi only; this is ${process.arch}`;

// Flavour 'none' loads no add-on on the main thread (workers may).
function prelude(flavour) {
  const module = ENTRIES[flavour];
  return `
'use strict';
const qel = ${module ? `require(${JSON.stringify(module)})` : 'null'};
const bridge = qel && qel.bridge;
const { frame, simBytes, empty, checksum } = require(${JSON.stringify(path.join(__dirname, 'frames.js'))});
const { msg, MSG, VERSION } = require(${JSON.stringify(path.join(__dirname, 'catalogue.js'))});
const wait = (ms) => new Promise((r) => setTimeout(r, ms));
// For pauses that only give the other threads time to act, and for windows
// that a test must stay inside: wait(15 * TIME_FACTOR).
const TIME_FACTOR = ${TIME_FACTOR};
async function until(fn, ms = 5000) {
  const end = Date.now() + ms * TIME_FACTOR;
  for (;;) {
    const v = fn();
    if (v) return v;
    if (Date.now() > end) throw new Error('timed out waiting for ' + fn.toString());
    await wait(2);
  }
}
function done(value) {
  process.stdout.write('\\n${RESULT}' + JSON.stringify(value === undefined ? null : value) + '\\n', () => process.exit(0));
}
`;
}

// Debug-mode scenarios share the log file that the sim flavour writes, so
// they take turns.
const lockDir = path.join(root, 'build', 'sim-log', '.lock');
async function withLogLock(fn) {
  fs.mkdirSync(path.dirname(lockDir), { recursive: true });
  const deadline = Date.now() + 120000 * TIME_FACTOR;
  for (;;) {
    try {
      fs.mkdirSync(lockDir);
      break;
    } catch (e) {
      if (e.code !== 'EEXIST') throw e;
      // A lock left by a process that died is taken over after a while.
      try {
        if (Date.now() - fs.statSync(lockDir).mtimeMs > 60000 * TIME_FACTOR) fs.rmSync(lockDir, { recursive: true, force: true });
      } catch { /* gone meanwhile */ }
      if (Date.now() > deadline) throw new Error('log lock not released');
      await new Promise((r) => setTimeout(r, 20));
    }
  }
  try {
    return await fn();
  } finally {
    fs.rmSync(lockDir, { recursive: true, force: true });
  }
}

// Runs node (through the launcher) with `args` and collects its output;
// a child still running after `timeout` ms (stretched by TIME_FACTOR) is
// killed. `env` adds to the environment; `prefix` is a command that runs
// the child (e.g. as another user); `user` ({ uid, gid }) runs it as that
// user with no supplementary groups, where no such command exists. `stdout`
// may name a descriptor of the caller's to write to instead, and `onStderr`
// sees standard error as it grows.
function runNode(args, { timeout = 30000, env = {}, prefix = [], user = {}, stdout: out = 'pipe', onStderr = () => {} } = {}) {
  return new Promise((resolve) => {
    const node = nodeCommand();
    const started = Date.now();
    const command = [...prefix, node.file, ...node.args, ...args];
    const child = spawn(command[0], command.slice(1), { cwd: root, env: { ...process.env, ...env }, stdio: ['ignore', out, 'pipe'], ...user });
    let stdout = '';
    let stderr = '';
    if (child.stdout) child.stdout.on('data', (d) => { stdout += d; });
    child.stderr.on('data', (d) => { stderr += d; onStderr(stderr); });
    const timer = setTimeout(() => child.kill('SIGKILL'), timeout * TIME_FACTOR);
    child.on('close', (code, signal) => {
      clearTimeout(timer);
      resolve({ code, signal, stdout, stderr, ms: Date.now() - started, lines: stdout.split('\n').filter((l) => l !== '') });
    });
  });
}

// The source of a child that runs `body` (see the top of this file).
function scenarioSource(body, flavour = 'sim') {
  return `${prelude(flavour)}\n(async () => {\n${body}\n})().catch((e) => { process.stdout.write('\\n${RESULT}' + JSON.stringify({ scenarioError: String(e && e.stack || e) }) + '\\n', () => process.exit(3)); });\n`;
}

async function spawnScenario(body, { flavour = 'sim', timeout = 30000, args = [], env = {}, prefix = [], user = {} } = {}) {
  const { code, signal, stdout, stderr } = await runNode([...args, '-e', scenarioSource(body, flavour)], { timeout, env, prefix, user });
  const at = stdout.lastIndexOf(RESULT);
  let result;
  let output = stdout;
  if (at >= 0) {
    result = JSON.parse(stdout.slice(at + RESULT.length).split('\n')[0]);
    output = stdout.slice(0, at).replace(/\n$/, '');
  }
  return { code, signal, stdout: output, stderr, lines: output.split('\n').filter((l) => l !== ''), result };
}

// Runs the scenario and returns its result; throws with the child's output
// when it failed, so that a test failure shows what the driver printed.
async function runScenario(body, opts = {}) {
  const go = () => spawnScenario(body, opts);
  const r = opts.debugLog ? await withLogLock(go) : await go();
  if (r.code !== 0 || r.result === undefined || (r.result && r.result.scenarioError)) {
    const why = r.result && r.result.scenarioError ? r.result.scenarioError : `exit ${r.code} ${r.signal || ''}`;
    throw new Error(`scenario failed: ${why}\n--- stdout\n${r.stdout}\n--- stderr\n${r.stderr}`);
  }
  return r;
}

// Output lines grouped by the marker line "#name" printed before each step
// of a scenario; lines before the first marker are under ''.
function blocks(lines) {
  const out = { '': [] };
  let current = '';
  for (const line of lines) {
    if (line.startsWith('#')) {
      current = line.slice(1);
      out[current] = [];
    } else {
      out[current].push(line);
    }
  }
  return out;
}

module.exports = { blocks, runNode, runScenario, scenarioSource, spawnScenario, withLogLock, nodeCommand, TIME_FACTOR, NO_REAL, root };
