'use strict';
// Every code block of the README and the Raspberry Pi guide marked
// <!-- runnable --> runs as written in an application's folder that has the
// package in node_modules (a link to this clone, as `npm install <folder>`
// makes it), on the simulated bridge.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { root } = require('../helpers/scenario');

const MARK = '<!-- runnable -->';
const BLOCK = /<!-- runnable -->\n```(sh|js)\n([\s\S]*?)\n```/g;

function runnableBlocks(name) {
  const text = fs.readFileSync(path.join(root, name), 'utf8');
  const blocks = [...text.matchAll(BLOCK)].map((m) => ({
    name: `${name}:${text.slice(0, m.index).split('\n').length + 1}`, lang: m[1], code: m[2],
  }));
  assert.equal(blocks.length, text.split(MARK).length - 1, `${name}: every mark stands right before a sh or js block`);
  return blocks;
}

function application() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'qel-docs-app-'));
  fs.mkdirSync(path.join(dir, 'node_modules', '.bin'), { recursive: true });
  fs.symlinkSync(root, path.join(dir, 'node_modules', 'corvalith'));
  fs.symlinkSync('../corvalith/bin/qel-monitor.js', path.join(dir, 'node_modules', '.bin', 'qel-monitor'));
  fs.writeFileSync(path.join(dir, 'package.json'), '{ "name": "lift-app", "version": "1.0.0", "private": true }\n');
  return dir;
}

function run(block, dir, i) {
  if (block.lang === 'sh') return spawnSync('bash', ['-eo', 'pipefail', '-c', block.code], { cwd: dir, encoding: 'utf8', timeout: 120000 });
  const file = path.join(dir, `block${i}.${/^import /m.test(block.code) ? 'mjs' : 'js'}`);
  fs.writeFileSync(file, block.code);
  return spawnSync(process.execPath, [file], { cwd: dir, encoding: 'utf8', timeout: 120000 });
}

const dir = application();
test.after(() => fs.rmSync(dir, { recursive: true, force: true }));
const blocks = ['README.md', 'docs/raspberry-pi.md'].flatMap(runnableBlocks);
blocks.forEach((block, i) => {
  test(`${block.name} runs as written`, () => {
    const r = run(block, dir, i);
    assert.equal(r.status, 0, `${block.code}\n--- stdout\n${r.stdout}\n--- stderr\n${r.stderr}`);
  });
});
