'use strict';
// The TypeScript declarations (index.d.ts, sim.d.ts): a typed program
// compiles against them with tsc --noEmit, and wrong calls do not.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawn } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { root, nodeCommand, TIME_FACTOR, NO_REAL } = require('../helpers/scenario');

const tsc = path.join(root, 'node_modules', '.bin', 'tsc');
const fixtures = path.join(root, 'test', 'types');

// Compiles one fixture on its own, strict, without any @types package; an
// .mts fixture as an ES module resolved as Node resolves it.
function compileNow(name) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'qel-types-'));
  const module = name.endsWith('.mts') ? 'nodenext' : 'commonjs';
  const config = {
    compilerOptions: { strict: true, noEmit: true, target: 'es2020', module, types: [] },
    files: [path.join(fixtures, name)],
  };
  fs.writeFileSync(path.join(dir, 'tsconfig.json'), JSON.stringify(config));
  return new Promise((resolve) => {
    const node = nodeCommand();
    const child = spawn(node.file, [...node.args, tsc, '-p', path.join(dir, 'tsconfig.json')], { cwd: root });
    let output = '';
    child.stdout.on('data', (d) => { output += d; });
    child.stderr.on('data', (d) => { output += d; });
    const timer = setTimeout(() => child.kill('SIGKILL'), 120000 * TIME_FACTOR);
    child.on('close', (code) => {
      clearTimeout(timer);
      fs.rmSync(dir, { recursive: true, force: true });
      resolve({ code, output });
    });
  });
}

// The compilations are slow; they run side by side from the start.
const started = {};
const compile = (name) => (started[name] ||= compileNow(name));
for (const name of ['usage.ts', 'wrong-call.ts', 'node-buffer.ts', 'esm.mts']) compile(name);

test('package.json points at the declarations, which sit beside the code', () => {
  const pkg = JSON.parse(fs.readFileSync(path.join(root, 'package.json'), 'utf8'));
  assert.equal(pkg.types, 'index.d.ts');
  assert.ok(fs.existsSync(path.join(root, 'index.d.ts')));
  assert.ok(fs.existsSync(path.join(root, 'sim.d.ts')));
  assert.ok(fs.existsSync(tsc), 'typescript is installed (bin/qel-setup installs the dev dependencies)');
});

test('a typed application compiles; every call marked as wrong is refused', async () => {
  // usage.ts holds @ts-expect-error lines: an expected error that does not
  // happen fails the compilation too.
  const r = await compile('usage.ts');
  assert.equal(r.output, '');
  assert.equal(r.code, 0);
});

test('sendCommand("x") does not compile, and tsc says where and why', async () => {
  const r = await compile('wrong-call.ts');
  assert.notEqual(r.code, 0);
  const errors = r.output.split('\n').filter((l) => / error TS/.test(l));
  assert.equal(errors.length, 1, r.output);
  assert.match(errors[0], /wrong-call\.ts\(4,17\): error TS2345: Argument of type 'string' is not assignable to parameter of type 'number'/);
});

test('an ES module application compiles against corvalith and corvalith/sim (module nodenext)', async () => {
  const r = await compile('esm.mts');
  assert.equal(r.output, '');
  assert.equal(r.code, 0);
});

test('with the types of Node.js present, msg_data is their Buffer', async () => {
  const r = await compile('node-buffer.ts');
  assert.equal(r.output, '');
  assert.equal(r.code, 0);
});

test('the declared functions are the ones both flavours export', () => {
  const declared = (file, iface) => {
    const text = fs.readFileSync(path.join(root, file), 'utf8');
    const body = text.slice(text.indexOf(`interface ${iface} `));
    const end = body.indexOf('\n  }\n');
    return [...new Set([...body.slice(0, end).matchAll(/^ {4}(?:readonly )?(\w+)[(:?]/gm)].map((m) => m[1]))];
  };
  // The kernel flavour's exports are the real one's, which is built on a Pi only.
  const real = require(NO_REAL ? path.join(root, 'i2c-dev') : root);
  const sim = require(path.join(root, 'sim'));
  assert.deepEqual(declared('index.d.ts', 'Driver').sort(), Object.keys(real).sort());
  assert.deepEqual(['bridge'], declared('sim.d.ts', 'SimDriver'));
  assert.deepEqual(declared('sim.d.ts', 'Bridge').sort(), Object.keys(sim.bridge).sort());
});
