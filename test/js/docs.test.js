'use strict';
// Every block of the README and the Raspberry Pi guide marked
// <!-- runnable -->, and examples/demo.js, run as written in an application's
// folder that has the package in node_modules (a link to this clone), on the
// simulated bridge.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('child_process');
const fs = require('fs');
const path = require('path');
const { root } = require('../helpers/scenario');

const app = fs.mkdtempSync(path.join(require('os').tmpdir(), 'qel-docs-app-'));
fs.mkdirSync(path.join(app, 'node_modules', '.bin'), { recursive: true });
fs.symlinkSync(root, path.join(app, 'node_modules', 'corvalith'));
fs.symlinkSync('../corvalith/bin/qel-monitor.js', path.join(app, 'node_modules', '.bin', 'qel-monitor'));
fs.writeFileSync(path.join(app, 'package.json'), '{ "name": "lift-app", "version": "1.0.0", "private": true }\n');
test.after(() => fs.rmSync(app, { recursive: true, force: true }));

// The examples too, as an application copies them.
const EXAMPLES = ['examples/demo.js'];
for (const name of ['README.md', 'docs/raspberry-pi.md', ...EXAMPLES]) {
  const text = fs.readFileSync(path.join(root, name), 'utf8');
  const example = EXAMPLES.includes(name);
  const blocks = example ? [[name, 'js', text]] : [...text.matchAll(/<!-- runnable -->\n```(sh|js)\n([\s\S]*?)\n```/g)];
  if (!example) assert.equal(blocks.length, text.split('<!-- runnable -->').length - 1, `${name}: each mark right before a sh or js block`);
  for (const [, lang, code] of blocks) {
    // Under an emulated Node the blocks' own `node` would be the host's,
    // which cannot load the emulated platform's add-ons: the host proves them.
    test(`${name}: the runnable block beginning ${JSON.stringify(code.split('\n')[0])}`, { skip: !!process.env.QEL_NODE_LAUNCHER && 'emulated Node' }, () => {
      const file = path.join(app, `block.${/^import /m.test(code) ? 'mjs' : 'js'}`);
      if (lang === 'js') fs.writeFileSync(file, code);
      const r = lang === 'sh' ? spawnSync('bash', ['-eo', 'pipefail', '-c', code], { cwd: app, encoding: 'utf8' })
        : spawnSync(process.execPath, [file], { cwd: app, encoding: 'utf8' });
      assert.equal(r.status, 0, `${code}\n--- stdout\n${r.stdout}\n--- stderr\n${r.stderr}`);
    });
  }
}

// npm comes with Node, and what the guide's steps put in the application's folder is where the units run it.
test('the guide installs npm with Node; its install step, the README and both units use one application folder', () => {
  const [guide, ...others] = ['docs/raspberry-pi.md', 'README.md', 'examples/qel-app.service'].map((f) => fs.readFileSync(path.join(root, f), 'utf8'));
  assert.match(guide, /^sudo apt install nodejs npm$/m);
  const places = [guide, ...others].flatMap((text) => [...text.matchAll(/^(?:WorkingDirectory=|ExecStart=\S+ |cd )(\S+?)(?:\/app\.js)?(?: .*)?$/gm)].map((m) => m[1]));
  assert.deepEqual([...new Set(places)], ['/home/root/node_production_app']);
});
