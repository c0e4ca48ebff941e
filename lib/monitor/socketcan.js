'use strict';
// Reading a Linux SocketCAN interface. Node cannot open a raw CAN socket,
// so can-utils' candump reads it and writes its log format, one line per
// frame; each line is read with the same codec as a replayed capture and
// sorted by the same rule, so that a live bus and its capture show alike.
// Error frames are asked for too (an error mask of all classes), so that
// they are counted and described rather than silently missing.
//
// candump runs for hours: its lines are taken one at a time as they come,
// and its standard error is kept only as far as its last words need.
const fs = require('fs');
const path = require('path');
const readline = require('readline');
const { spawn, spawnSync } = require('child_process');
const { frame } = require('../frame');
const candump = require('./candump');
const { notReplayed } = require('./replay');

const PROGRAM = 'candump';
const STDERR_KEPT = 4096;

// The full name of `program` on PATH, or null.
function findProgram(program) {
  for (const dir of (process.env.PATH || '').split(path.delimiter)) {
    const file = path.join(dir || '.', program);
    try {
      fs.accessSync(file, fs.constants.X_OK);
      if (fs.statSync(file).isFile()) return file;
    } catch { /* not here */ }
  }
  return null;
}

// `program` when its --help names `option`, else null: an older setpriv
// without it would refuse to start candump at all.
function withOption(program, option) {
  if (program === null) return null;
  const help = spawnSync(program, ['--help'], { encoding: 'utf8', timeout: 5000 });
  return `${help.stdout}`.includes(option) ? program : null;
}

// All data frames (filter 0:0) and every class of error frame, in the log
// format on standard output.
function candumpArgs(iface) {
  return ['-L', `${iface},0:0,#FFFFFFFF`];
}

// The line of candump's standard error that says why it stopped, or how
// it ended when it said nothing.
function cause(stderr, code, signal) {
  const said = stderr.split('\n').map((l) => l.trim()).filter((l) => l !== '').pop();
  if (said) return said;
  return signal ? `candump was ended by ${signal}` : `candump exited with status ${code}`;
}

// One line of candump's output -> { frame } or { reason }, or null for a
// blank line.
function sort(text) {
  if (text.trim() === '') return null;
  const f = candump.parse(text);
  const reason = f.reason || notReplayed(f);
  return reason ? { reason } : { frame: f };
}

// The command that runs candump. Into a pipe, candump's C library would
// hold its lines back until 4 KiB have gathered: coreutils' stdbuf makes
// it hand on each line at once. A monitor killed outright (SIGKILL, the
// out-of-memory killer) runs no exit handler, and candump would read a
// quiet bus for ever: util-linux's setpriv has the kernel kill it when its
// parent, the monitor, dies. Each wrapper execs the next, so candump keeps
// the process that the monitor started and stops.
function candumpCommand(program, iface) {
  const setpriv = withOption(findProgram('setpriv'), '--pdeathsig');
  const stdbuf = findProgram('stdbuf');
  return [
    ...(setpriv ? [setpriv, '--pdeathsig', 'KILL'] : []),
    ...(stdbuf ? [stdbuf, '-oL'] : []),
    program, ...candumpArgs(iface),
  ];
}

// Starts candump on `iface` (`program` from findCandump()) and hands on each
// line as it comes: feed(bridge frame) for a frame the bridge carries,
// onSkipped({ line, text, reason }) for any other. The counts are kept as
// a replay's scan keeps them. onEnd(message) when candump stops unasked:
// its own cause, after how many lines when it had written any.
function startCandump(program, iface, feed, { onSkipped = () => {}, onEnd = () => {} } = {}) {
  const counts = { accepted: 0, skipped: 0, reasons: new Map(), lines: 0 };
  const command = candumpCommand(program, iface);
  const child = spawn(command[0], command.slice(1), { stdio: ['ignore', 'pipe', 'pipe'] });
  let stopped = false;
  let stderr = '';
  child.stderr.setEncoding('utf8');
  child.stderr.on('data', (text) => { stderr = (stderr + text).slice(-STDERR_KEPT); });

  const lines = readline.createInterface({ input: child.stdout, crlfDelay: Infinity });
  lines.on('line', (text) => {
    if (stopped) return;
    counts.lines++;
    const e = sort(text);
    if (e === null) return;
    if (e.frame) {
      counts.accepted++;
      feed(frame(e.frame.id, e.frame.data, { len: e.frame.len }));
      return;
    }
    counts.skipped++;
    counts.reasons.set(e.reason, (counts.reasons.get(e.reason) || 0) + 1);
    onSkipped({ line: counts.lines, text, reason: e.reason });
  });

  const ended = (why) => {
    if (stopped) return;
    stopped = true;
    onEnd(`qel-monitor: --can ${iface}: ${counts.lines ? `candump stopped after ${counts.lines} line${counts.lines === 1 ? '' : 's'}: ` : ''}${why}`);
  };
  child.on('error', (e) => ended(`cannot run ${program} (${e.code || e.message})`));
  // 'close' comes once standard error is read to its end: its last words.
  child.on('close', (code, signal) => ended(cause(stderr, code, signal)));
  const stop = () => {
    if (stopped) return;
    stopped = true;
    child.kill('SIGTERM');
  };
  process.on('exit', stop);
  return { counts, stop };
}

// "SocketCAN vcan0: 5 frames accepted, 2 skipped (extended identifier: 1, error frame: 1)"
function summary(iface, counts) {
  const reasons = [...counts.reasons].map(([reason, n]) => `${reason}: ${n}`).join(', ');
  return `qel-monitor: SocketCAN ${iface}: ${counts.accepted} frames accepted, ${counts.skipped} skipped` +
    (reasons ? ` (${reasons})` : '');
}

const MISSING = 'qel-monitor: --can needs candump from can-utils (sudo apt install can-utils)';

const findCandump = () => findProgram(PROGRAM);

module.exports = { findCandump, candumpArgs, startCandump, summary, MISSING };
