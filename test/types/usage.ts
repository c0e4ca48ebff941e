// A typed application against the driver's declarations: everything here
// must compile, and every line under @ts-expect-error must not.
import qel = require('../..');
import sim = require('../../sim');
import kernel = require('../../i2c-dev');

const seen: qel.StatusObject[] = [];

qel.registerCallback((status) => {
  const id: number = status.msg_id;
  const when: string = status.timestamp;
  const count: number = status.counter;
  const firstByte: number = status.msg_data[0];
  const stats: qel.DriverStats = status.driver_stats;
  const total: number = stats.hb + stats.unk + stats.empty + stats.err;
  seen.push(status);
  void [id, when, count, firstByte, total];
});

qel.driverStart(50000, 20000, 500000, 2000, [0x1a1, 0x2c0], [0x1a1], false);
qel.driverStart(undefined, undefined, undefined, undefined, undefined, undefined, undefined);
const ids: readonly number[] = [0x4a1];
qel.driverStart(0, 1000, -1, 300, ids, [], true);

qel.sendCommand(5);
qel.sendCommand(-1, 0);
qel.sendCommand(-1, -1, 1);
qel.sendCommand(44, 0, 0, 1);
qel.sendCommand(-1, 1, 1, 1, 42);
qel.writeParameter(3);
qel.writeParameter(3, new Uint8Array([1, 2]));
const status: qel.StatusObject = qel.readStatus(0x2c0);
qel.simulate(new Uint8Array(15));
qel.clearMem(true, undefined);
qel.clearMem(false, 0x2c0);
const version: string = qel.getVersion();
try {
  qel.sendCommand(1);
} catch (e) {
  const code: qel.ErrorCode = (e as qel.DriverError).code;
  if (code === 'QEL_NOT_STARTED' || code === 'ENOENT') void code;
}
qel.capture((batch) => {
  const last: number = batch.count - 1;
  const at: number = batch.time[last] + batch.id[last] + batch.length[last] + batch.data[8 * last];
  void [at, batch.checksumError[0], batch.simulated[0], batch.dropped + batch.empty];
});
qel.capture(null);
const mirrored: sim.MirrorState = qel.mirror('vcan0');
const target: string | null = qel.mirror(null).interface;
void [target, mirrored.sent + mirrored.dropped + mirrored.checksumErrors + mirrored.empty, qel.mirror()];

// The simulated flavour: the same functions and the bridge.
sim.registerCallback(function (this: typeof globalThis, s: sim.StatusObject) { void s.msg_data.length; });
sim.driverStart(0, 1000, undefined, undefined, undefined, undefined, false);
sim.bridge.receive(new Uint8Array(16));
sim.bridge.receive(new Uint8Array(16), 3);
sim.bridge.receive(sim.bridge.frame(0x2c0, [1, 0xc0]));
sim.bridge.receive(sim.bridge.frame(0x4a1, new Uint8Array([0x42])), 2);
const pending: number = sim.bridge.pending();
const writes: sim.BridgeWrite[] = sim.bridge.writes();
const lastCode: number = writes[0].code;
const firstWritten: number = writes[0].bytes[0];
sim.bridge.failReads(2, 1);
sim.bridge.failWrites(1, 4);
sim.bridge.failSelect(0);
sim.bridge.failInit(false);
sim.bridge.baudReadback([0x0e, 0x0f]);
sim.bridge.busSpeed(400000);
const state: sim.BridgeState = sim.bridge.state();
const overlaps: number = state.overlaps;
const log: string = sim.bridge.logPath;
const clock: number = sim.bridge.now() + sim.bridge.reads();
sim.bridge.reset();
const simStatus: qel.StatusObject = sim.readStatus(0x1a1);
const cyclicAtLoad: number[] = sim.facts.slots.filter((slot) => slot.cyclic).map((slot) => slot.id);
const tftMax: number | undefined = qel.facts.arguments.sendCommand[0].max;
void [status, version, pending, lastCode, firstWritten, overlaps, log, clock, simStatus, cyclicAtLoad, tftMax];

// Wrong calls, refused by the types as the driver refuses them at run time.
// @ts-expect-error the TFT value must be a number
qel.sendCommand('x');
// @ts-expect-error sendCommand takes at most five numbers
qel.sendCommand(1, 2, 3, 4, 5, 6);
// @ts-expect-error an argument that is passed may not be undefined
qel.sendCommand(1, undefined);
// @ts-expect-error driverStart takes exactly seven arguments
qel.driverStart(0, 1000, 500000, 300, undefined, undefined);
// @ts-expect-error the debug flag is a boolean
qel.driverStart(0, 1000, 500000, 300, undefined, undefined, 1);
// @ts-expect-error identifier lists are arrays of numbers
qel.driverStart(0, 1000, 500000, 300, ['1a1'], undefined, false);
// @ts-expect-error the value bytes are a Buffer, not a plain array
qel.writeParameter(3, [1, 2]);
// @ts-expect-error the facts are frozen
sim.facts.defaults.debounce = 1;
// @ts-expect-error clearMem takes exactly two arguments
qel.clearMem(true);
// @ts-expect-error readStatus needs an identifier
qel.readStatus();
// @ts-expect-error the timestamp is a decimal string, not a number
const asNumber: number = qel.readStatus(0x1a1).timestamp;
// @ts-expect-error the callback receives a status object
qel.registerCallback((s: string) => s);
// @ts-expect-error capture takes a function or null
qel.capture();
// @ts-expect-error mirror takes an interface name
qel.mirror(0);
// @ts-expect-error the real flavour has no bridge
void qel.bridge;
// @ts-expect-error a frame's identifier is a number
sim.bridge.frame('2c0', [1]);
// @ts-expect-error the bridge takes a frame buffer
sim.bridge.receive([1, 2, 3]);
void asNumber;

qel.driverStop();
async function owned(): Promise<void> {
  const bus: qel.Bus = sim.open({ canBusDelay: 1000, enabledIds: [0x4a1], console: (line, level) => void [line.length, level === 'warn'], logPath: 'lift.log' });
  // @ts-expect-error the log's file is a path
  void (() => sim.open({ logPath: true }));
  bus.on('status', (s) => void s.msg_data[0]).once('close', () => {}).on('error', (e) => void e.message);
  bus.on('bridgeDown', () => {}).on('bridgeUp', (failed) => void failed.toFixed());
  await bus.send({ readCfg: 'one', parameter: 42, copLight: true });
  const queued: Promise<void> = bus.send({ tft: 5, readCfg: 'all' });
  await Promise.all([queued, bus.writeParameter(3, [1, 2])]);
  for await (const s of bus) void s.counter;
  const it: sim.StatusIterator = bus[Symbol.asyncIterator]();
  void [it.dropped, bus.dropped, bus.read(0x2c0).timestamp, bus.closed];
  try {
    await bus.send({ tft: 1 });
  } catch (e) {
    const err = e as sim.DriverError | kernel.DriverError;
    const code: sim.ErrorCode & kernel.ErrorCode = err.code;
    void [code, err.reason, err.errno];
  }
  await bus[Symbol.asyncDispose]();
  // @ts-expect-error a Read CFG of one parameter names it
  bus.send({ readCfg: 'one' });
  // @ts-expect-error the COP light is on or off
  bus.send({ copLight: 1 });
  // @ts-expect-error a misspelt option
  qel.open({ heartbeet: 0 });
  // @ts-expect-error no such event
  bus.on('data', () => {});
  await bus.close();
}
void owned;
