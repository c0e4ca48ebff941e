#!/usr/bin/env bash
# Builds the add-ons for a Pi Zero or Pi 1 (ARMv6KZ with VFPv2, see env.sh)
# and checks that every object in them is ARMv6 code without Thumb-2, that
# they need no libatomic, and that they load and run, under the emulation of
# a newer ARM (the cross compiler's own libraries are ARMv7, and on the
# device its own are used instead), on Debian's armhf Node.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
armhf_launcher="$(QEL_PLATFORM=armhf QEL_NODE=debian bash -c ". '$here/env.sh'; echo \"\$launcher\"")"
export QEL_PLATFORM=armv6 QEL_NODE="${QEL_NODE:-debian}"
. "$here/env.sh"
[ "$node_choice" != debian ] || [ -x "$node_bin" ] || { say "no armhf Node in $noderoot: run install.sh for armhf first"; exit 1; }
"$here/build.sh"
status=0
. "$here/armv6-code.sh"
for addon in $addons; do
  while read -r problem; do
    say "$addon.node: $problem"
    status=1
  done < <(armv6_problems "$tree/build/Release/$addon.node")
done
[ "$node_choice" = debian ] || exit "$status"
# The simulated flavour delivers a frame; the others load.
if ! (cd "$tree" && $armhf_launcher -e "
  const [sim, real, kernel] = ['qel_sim', 'qel', 'qel_i2cdev'].map((n) => require('./build/Release/' + n + '.node'));
  if (real.getVersion() !== sim.getVersion() || kernel.getVersion() !== sim.getVersion()) process.exit(2);
  sim.registerCallback((s) => process.exit(s.msg_id === 0x4a1 && s.msg_data[0] === 7 ? 0 : 3));
  sim.driverStart(0, 1000, -1, 300, undefined, undefined, false);
  const f = Buffer.alloc(15); f[2] = 4; f[3] = 0xa1; f[6] = 1; f[7] = 7; sim.simulate(f);
  setTimeout(() => process.exit(4), 20000);" >/dev/null); then
  say "the ARMv6 add-ons do not load and run on Debian's armhf Node"
  status=1
fi
exit "$status"
