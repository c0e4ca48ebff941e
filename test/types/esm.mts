// An ES module application: the package's exports map gives the same
// declarations to `import` as to `require`.
import qel, { driverStart, registerCallback } from 'corvalith';
import sim, { bridge, readStatus } from 'corvalith/sim';
import kernel from 'corvalith/i2c-dev';
import type { DriverError, ErrorCode, StatusIterator } from 'corvalith/i2c-dev';
import { publish } from 'corvalith/mqtt';

registerCallback((status) => {
  const id: number = status.msg_id;
  void id;
});
driverStart(undefined, undefined, undefined, undefined, undefined, undefined, false);
const version: string = qel.getVersion();
bridge.receive(new Uint8Array(16));
sim.clearMem(true, undefined);
void [version, readStatus(0x1a1), kernel.readStatus(0x1a1)];
// @ts-expect-error the simulated bridge is not part of the real flavour
import { bridge as none } from 'corvalith';
void none;
// @ts-expect-error nor of the kernel's
import { bridge as neither } from 'corvalith/i2c-dev';
void neither;
import { open } from 'corvalith/sim';
await using bus = open({ console: false });
bus.send({ tft: 1 });
const publisher = publish(bus, { url: 'mqtt://127.0.0.1:1883', node: 'lift7', commands: 'lift7/commands', log: (line) => void line.length });
const statuses: StatusIterator = bus[Symbol.asyncIterator]();
void [publisher.counts.dropped + publisher.counts.queued, publisher.connected, statuses.dropped, publisher.reached];
const state: 'connecting' | 'connected' | 'unreachable' | 'lost' = publisher.state;
void publish(bus, { url: 'mqtt://127.0.0.1:1883', onState: (s) => void (s === state), cyclicIds: [0x1a1], reconnectFirst: 500, reconnectMax: 10000 });
void publisher.counts.reconnects;
publisher.stop(() => {});
try { kernel.readStatus(0x1a1); } catch (e) { const code: ErrorCode = (e as DriverError).code; void code; }
// @ts-expect-error a publisher needs its broker's URL
publish(bus, { node: 'lift7' });
