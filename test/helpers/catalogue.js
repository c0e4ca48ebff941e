'use strict';
// The driver's message catalogue, read from the one file that defines it,
// and a printf for its formats, so that tests expect exactly what the
// driver prints.
const fs = require('fs');
const path = require('path');

const source = fs.readFileSync(path.join(__dirname, '..', '..', 'src', 'qel', 'messages.h'), 'utf8');

const MSG = {};
for (const m of source.matchAll(/^#define (\w+) "((?:[^"\\]|\\.)*)"$/gm)) {
  MSG[m[1].replace(/^MSG_/, '')] = JSON.parse(`"${m[2]}"`);
}

// printf with the conversions the catalogue uses: %d %x %s %llu and widths.
function format(fmt, ...args) {
  let i = 0;
  return fmt.replace(/%(0?)(\d*)(ll)?([dxsu%])/g, (all, zero, width, ll, conv) => {
    if (conv === '%') return '%';
    const v = args[i++];
    let text;
    if (conv === 'd') text = String(Math.trunc(Number(v)));
    else if (conv === 'u') text = BigInt(v).toString();
    else if (conv === 'x') text = (Number(v) >>> 0).toString(16);
    else text = String(v);
    return width ? text.padStart(Number(width), zero ? '0' : ' ') : text;
  });
}

function msg(name, ...args) {
  if (!(name in MSG)) throw new Error(`no message ${name} in the catalogue`);
  return format(MSG[name], ...args);
}

module.exports = { MSG, msg, format };
