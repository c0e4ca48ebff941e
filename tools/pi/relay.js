'use strict';
// Joins the bridge model's chardev to the guest's second serial port (the
// mini UART, /dev/ttyS1), both QEMU clients of the Unix sockets made here,
// so that the tests in the guest are the model's test side. Every line
// that passes is kept in LOG with its direction, for the run's record.
//
//   node relay.js DIR LOG     listens on DIR/bridge.sock and DIR/guest.sock
//
// Ends when either side closes.
const fs = require('fs');
const net = require('net');
const path = require('path');

const [dir, logFile] = process.argv.slice(2);
const log = fs.createWriteStream(logFile);
const ends = {};

function logLines(prefix) {
  let rest = '';
  return (chunk) => {
    const lines = (rest + chunk.toString('latin1')).split('\n');
    rest = lines.pop();
    for (const line of lines) log.write(`${prefix} ${line}\n`);
  };
}

function joinWhenBoth() {
  const { bridge, guest } = ends;
  if (!bridge || !guest) return;
  bridge.on('data', logLines('<'));
  guest.on('data', logLines('>'));
  bridge.pipe(guest);
  guest.pipe(bridge);
  const finish = () => { log.end(); process.exit(0); };
  bridge.on('close', finish);
  guest.on('close', finish);
}

for (const name of ['bridge', 'guest']) {
  const socket = path.join(dir, `${name}.sock`);
  fs.rmSync(socket, { force: true });
  const server = net.createServer((c) => {
    server.close();
    ends[name] = c;
    joinWhenBoth();
  });
  server.listen(socket);
}
