'use strict';
// The live table on a terminal. It owns the top rows of the screen; the
// rows below them are a scrolling region where the driver's own console
// lines land (the driver writes straight to standard output), so they
// scroll there without disturbing the table. Each redraw is one write that
// saves the cursor, rewrites the table rows in place and puts the cursor
// back where the driver's next line goes.
const { SLOT_IDS, STAT_KEYS, hex } = require('./slots');
const { age, micros } = require('./format');

const ESC = '\x1b[';
const SAVE = '\x1b7';
const RESTORE = '\x1b8';

// Cuts a line with escape sequences to `width` visible characters.
function fit(line, width) {
  let out = '';
  let visible = 0;
  for (let i = 0; i < line.length;) {
    if (line[i] === '\x1b') {
      const m = /^\x1b\[[0-9;?]*[A-Za-z]/.exec(line.slice(i));
      if (m) { out += m[0]; i += m[0].length; continue; }
    }
    if (visible >= width) break;
    out += line[i++];
    visible++;
  }
  return `${out}${ESC}0m`;
}

function rate(r) {
  if (r === null) return '  -  /s';
  return `${r < 10 ? r.toFixed(1) : Math.round(r)}/s`;
}

// Column layout of the slot rows: one header, one row per slot.
const HEADER = ` ${'id'.padEnd(6)}${'class'.padEnd(10)}${'on'.padEnd(4)}${'counter'.padStart(8)}${'reports'.padStart(9)}  ${'data (last report)'.padEnd(25)}last report`;

class Screen {
  // monitor: the state that main.js keeps (slots, stats, command, ...)
  constructor(out, monitor) {
    this.out = out;
    this.m = monitor;
    this.color = typeof out.hasColors === 'function' ? out.hasColors() : true;
    this.tableRows = SLOT_IDS.length + 7;  // title, header, slots, stats, feed, command, keys, rule
    this.size();
  }

  size() {
    this.rows = this.out.rows > 0 ? this.out.rows : 24;
    this.cols = this.out.columns > 0 ? this.out.columns : 80;
  }

  // Pushes what is on the screen (the driver's start-up lines) into the
  // scroll-back, then sets up the table and the region below it.
  open() {
    let s = `${ESC}?25l${'\r\n'.repeat(Math.max(0, this.rows - 1))}`;
    s += this.layout();
    this.out.write(s);
    this.draw();
  }

  layout() {
    let s = `${ESC}r${ESC}H${ESC}J`;
    if (this.rows > this.tableRows + 1) {
      s += `${ESC}${this.tableRows + 1};${this.rows}r${ESC}${this.tableRows + 1};1H`;
    } else {
      s += `${ESC}${this.rows};1H`;
    }
    return s;
  }

  resize() {
    this.size();
    this.out.write(this.layout());
    this.draw();
  }

  paint(text, how) {
    if (!how) return text;
    const codes = { changed: this.color ? '1;33' : '7', dim: '2', bold: '1', good: this.color ? '32' : '1', bad: this.color ? '1;31' : '1;7', head: '1;4' };
    return `${ESC}${codes[how]}m${text}${ESC}0m`;
  }

  // The MQTT broker's state, where there is one, before what may be cut.
  broker() {
    const state = this.m.broker;
    if (!state) return '';
    const text = { connecting: 'connecting', connected: 'connected', unreachable: 'cannot reach', lost: 'lost' }[state];
    return `mqtt ${this.paint(text, state === 'connected' ? 'good' : state === 'connecting' ? null : 'bad')}  `;
  }

  lines() {
    const m = this.m;
    const now = Date.now();
    const out = [];
    const up = Math.floor((now - m.startedAt) / 1000);
    const upText = `${Math.floor(up / 60)}:${String(up % 60).padStart(2, '0')}`;
    const bridge = m.bridgeDown ? `${this.paint('bridge not answering', 'bad')}  ` : '';
    out.push(`${this.paint('qel-monitor', 'bold')}  ${m.source}  v${m.version}  up ${upText}  ${bridge}${this.broker()}` +
      `poll ${micros(m.config.canDelay)}  hb ${m.config.hbDelay > 0 ? micros(m.config.hbDelay) : 'off'}  debounce ${micros(m.config.debounce * 1000)}`);
    out.push(this.paint(HEADER, 'head'));
    for (const slot of m.slots) {
      const data = slot.data
        ? Array.from(slot.data, (b, i) => {
          const text = b.toString(16).padStart(2, '0');
          return slot.changed[i] ? this.paint(text, 'changed') : text;
        }).join(' ')
        : '-- -- -- -- -- -- -- --';
      const row = ` ${hex(slot.id).padEnd(6)}${slot.cls.padEnd(10)}${(slot.enabled ? 'yes' : 'no').padEnd(4)}` +
        `${String(slot.counter).padStart(8)}${String(slot.reports).padStart(9)}  ${data}  ` +
        `${age(slot.reportedAt === null ? null : now - slot.reportedAt)}`;
      out.push(slot.enabled ? row : this.paint(row, 'dim'));
    }
    out.push(` ${STAT_KEYS.map((k) => `${this.paint(k, 'bold')} ${m.stats[k]} (${rate(m.rates[k])})`).join('   ')}`);
    out.push(` ${m.note}`);
    const c = m.command;
    out.push(c
      ? ` last command ${c.at}  ${c.label}: ${this.paint(c.outcome, c.ok ? 'good' : 'bad')}`
      : ' last command: none yet');
    const keys = m.keys ? `keys: ${this.paint('q', 'bold')} quit  ${this.paint('c', 'bold')} Read CFG ALL  ${this.paint('l', 'bold')} COP light ${m.copOn ? 'off' : 'on'}` : 'Ctrl-C quits (stdin is no terminal)';
    out.push(` ${keys}`);
    const rule = '── driver output ';
    out.push(this.paint(rule + '─'.repeat(Math.max(0, this.cols - rule.length)), 'dim'));
    return out;
  }

  draw() {
    const lines = this.lines().slice(0, Math.max(1, Math.min(this.tableRows, this.rows - 1)));
    let s = SAVE;
    lines.forEach((line, i) => { s += `${ESC}${i + 1};1H${fit(line, this.cols)}${ESC}K`; });
    s += RESTORE;
    this.out.write(s);
  }

  // Leaves the last table on the screen and the cursor below everything.
  close() {
    this.draw();
    this.out.write(`${SAVE}${ESC}r${RESTORE}${ESC}?25h`);
  }
}

module.exports = { Screen, fit, age, micros, HEADER };
