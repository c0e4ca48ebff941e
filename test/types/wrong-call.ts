// Must fail to compile: the TFT value of sendCommand is a number.
import qel = require('../..');

qel.sendCommand('x');
