#!/usr/bin/env node
'use strict';
// qel-monitor: the QEL CAN bus, live. `qel-monitor --help` lists the options.
require('../lib/monitor/main').main(process.argv.slice(2));
