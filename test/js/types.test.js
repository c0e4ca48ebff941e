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

// Two compilers: TypeScript 5.9, and 7, the release that npm gives a new
// project. TypeScript 7's compiler is a native program; it runs directly,
// since under an emulated Node its wrapper would look for a build for the
// emulated machine.
const tsc5 = path.join(root, 'node_modules', 'typescript', 'bin', 'tsc');
const nativeDir = path.join(root, 'node_modules', '@typescript');
const native = fs.existsSync(nativeDir) && fs.readdirSync(nativeDir).find((n) => n.startsWith('typescript-'));
const tsc7 = native ? path.join(nativeDir, native, 'lib', 'tsc') : 'typescript 7 is not installed';
const fixtures = path.join(root, 'test', 'types');

function tscCommand(version, project) {
  if (version === 7) return { file: tsc7, args: ['-p', project] };
  const node = nodeCommand();
  return { file: node.file, args: [...node.args, tsc5, '-p', project] };
}

// Compiles one fixture on its own, strict, with the @types packages named in
// `types` (none by default; null leaves the compiler's default); an .mts
// fixture as an ES module resolved as Node resolves it.
function compileNow(name, version, types) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'qel-types-'));
  const module = name.endsWith('.mts') ? 'nodenext' : 'commonjs';
  const config = {
    compilerOptions: {
      strict: true, noEmit: true, target: 'es2020', module, types: types ?? undefined,
      typeRoots: [path.join(root, 'node_modules', '@types')],
    },
    files: [path.join(fixtures, name)],
  };
  fs.writeFileSync(path.join(dir, 'tsconfig.json'), JSON.stringify(config));
  return new Promise((resolve) => {
    const command = tscCommand(version, path.join(dir, 'tsconfig.json'));
    const child = spawn(command.file, command.args, { cwd: root });
    let output = '';
    child.stdout.on('data', (d) => { output += d; });
    child.stderr.on('data', (d) => { output += d; });
    child.on('error', (e) => { output += e.message; });
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
const compile = (name, version, types = []) => (started[`${name} ${version} ${types}`] ||= compileNow(name, version, types));
const VERSIONS = [5, 7];
for (const version of VERSIONS) {
  for (const name of ['usage.ts', 'wrong-call.ts', 'node-buffer.ts', 'esm.mts']) compile(name, version);
  compile('node-types.ts', version, ['node']);
}
compile('node-types.ts', 7, null);

test('package.json points at the declarations, which sit beside the code', () => {
  const pkg = JSON.parse(fs.readFileSync(path.join(root, 'package.json'), 'utf8'));
  assert.equal(pkg.types, 'index.d.ts');
  assert.ok(fs.existsSync(path.join(root, 'index.d.ts')));
  assert.ok(fs.existsSync(path.join(root, 'sim.d.ts')));
  for (const tsc of [tsc5, tsc7]) assert.ok(fs.existsSync(tsc), `${tsc}: bin/qel-setup --tests installs the dev dependencies`);
});

for (const version of VERSIONS) {
  test(`TypeScript ${version}: a typed application compiles; every call marked as wrong is refused`, async () => {
    // usage.ts holds @ts-expect-error lines: an expected error that does not
    // happen fails the compilation too.
    const r = await compile('usage.ts', version);
    assert.equal(r.output, '');
    assert.equal(r.code, 0);
  });

  test(`TypeScript ${version}: sendCommand("x") does not compile, and tsc says where and why`, async () => {
    const r = await compile('wrong-call.ts', version);
    assert.notEqual(r.code, 0);
    const errors = r.output.split('\n').filter((l) => / error TS/.test(l));
    assert.equal(errors.length, 1, r.output);
    assert.match(errors[0], /wrong-call\.ts\(4,17\): error TS2345: Argument of type 'string' is not assignable to parameter of type 'number'/);
  });

  test(`TypeScript ${version}: an ES module application compiles against corvalith and corvalith/sim (module nodenext)`, async () => {
    const r = await compile('esm.mts', version);
    assert.equal(r.output, '');
    assert.equal(r.code, 0);
  });

  test(`TypeScript ${version}: with the types of Node.js present, msg_data is their Buffer`, async () => {
    const r = await compile('node-buffer.ts', version);
    assert.equal(r.output, '');
    assert.equal(r.code, 0);
  });

  test(`TypeScript ${version}: with "types": ["node"] an application uses Node's Buffer in msg_data and the arguments`, async () => {
    const r = await compile('node-types.ts', version, ['node']);
    assert.equal(r.output, '');
    assert.equal(r.code, 0);
  });
}

test('TypeScript 7 without "types": ["node"] includes no @types package: Buffer is unknown', async () => {
  const r = await compile('node-types.ts', 7, null);
  assert.notEqual(r.code, 0);
  assert.match(r.output, /node-types\.ts\(\d+,\d+\): error TS\d+: Cannot find name 'Buffer'/);
});

test('the declared functions are the ones the flavours export, and corvalith/sim has every type of corvalith', () => {
  const declared = (file, iface) => {
    const text = fs.readFileSync(path.join(root, file), 'utf8');
    const body = text.slice(text.indexOf(`interface ${iface} `));
    const end = body.indexOf('\n  }\n');
    return [...new Set([...body.slice(0, end).matchAll(/^ {4}(?:readonly )?(\w+)[(:?]/gm)].map((m) => m[1]))];
  };
  // The kernel flavour's exports are the real one's, which is built on a Pi only.
  const real = require(NO_REAL ? path.join(root, 'i2c-dev') : root);
  const sim = require(path.join(root, 'sim'));
  // Own names, so that the facts, which are not enumerated, count too.
  assert.deepEqual(declared('index.d.ts', 'Driver').sort(), Object.getOwnPropertyNames(real).sort());
  assert.deepEqual(['bridge'], declared('sim.d.ts', 'SimDriver'));
  assert.deepEqual(declared('sim.d.ts', 'Bridge').sort(), Object.keys(sim.bridge).sort());
  const types = (file) => [...fs.readFileSync(path.join(root, file), 'utf8').split('declare global')[0].matchAll(/^ {2}(?:type|interface) (\w+)/gm)].map((m) => m[1]);
  assert.deepEqual(types('index.d.ts').filter((name) => !types('sim.d.ts').includes(name)), []);
});
