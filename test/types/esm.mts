// An ES module application: the package's exports map gives the same
// declarations to `import` as to `require`.
import qel, { driverStart, registerCallback } from 'corvalith';
import sim, { bridge, readStatus } from 'corvalith/sim';
import kernel from 'corvalith/i2c-dev';

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
