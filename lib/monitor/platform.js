'use strict';
// Whether the real driver may be started here, on the bcm2835 path. It maps the processor's
// peripheral registers through /dev/mem with the bcm2835 library, which
// knows only the BCM2835/6/7/2711 based boards; on any other machine those
// addresses belong to something else, so the monitor refuses rather than
// poke at them.
const fs = require('fs');
const path = require('path');

function readText(file) {
  try {
    return fs.readFileSync(file, 'utf8').replace(/\0/g, '').trim();
  } catch {
    return null;
  }
}

function boardModel(root) {
  const dt = readText(path.join(root, 'proc/device-tree/model'));
  if (dt) return dt;
  const cpuinfo = readText(path.join(root, 'proc/cpuinfo'));
  const m = cpuinfo && /^Model\s*:\s*(.+)$/m.exec(cpuinfo);
  return m ? m[1].trim() : null;
}

// Returns null when the real driver may start, else what is wrong, as the
// one line to print. root and uid are there for the tests.
function realDriverProblem({ root = '/', uid = process.getuid ? process.getuid() : 0 } = {}) {
  if (!fs.existsSync(path.join(root, 'dev/mem'))) {
    return 'qel-monitor: there is no /dev/mem here: this is not a Raspberry Pi, so there is no CAN bridge to reach (use --sim for the simulated bridge)';
  }
  const model = boardModel(root);
  if (!model || !/Raspberry Pi/i.test(model)) {
    return `qel-monitor: this machine is not a Raspberry Pi (${model ? `model "${model}"` : 'no Raspberry Pi model in /proc/device-tree/model or /proc/cpuinfo'}): refusing to map its memory through /dev/mem (use --sim for the simulated bridge)`;
  }
  if (/Raspberry Pi (5|500)\b|Compute Module 5/i.test(model)) {
    return `qel-monitor: ${model}: the bcm2835 library does not support the Raspberry Pi 5 family (its I/O sits on the RP1 chip); use a Pi 1, 2, 3, 4 or Zero`;
  }
  if (uid !== 0) {
    return 'qel-monitor: needs root: the bcm2835 library maps the peripheral registers through /dev/mem (run it with sudo)';
  }
  return null;
}

// The same for the kernel's I2C driver (--i2c-dev): it touches no memory,
// so every machine with the device may try it, a Pi 5 and a user without
// root included; whether the user may open the device, the driver says.
// A relative device is one in the working directory, as for any command.
function kernelDriverProblem(device, { root = '/', cwd = process.cwd() } = {}) {
  if (fs.existsSync(path.join(root, path.resolve(cwd, device)))) return null;
  return `qel-monitor: ${device} does not exist: enable I2C (sudo raspi-config, Interface Options, I2C; or dtparam=i2c_arm=on in config.txt) and reboot`;
}

module.exports = { realDriverProblem, kernelDriverProblem, boardModel };
