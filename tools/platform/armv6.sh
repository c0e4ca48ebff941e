#!/usr/bin/env bash
# Builds the add-ons as Raspberry Pi OS builds them on a Pi Zero or Pi 1
# (ARMv6 with VFPv2, see env.sh) and checks that every object of the
# driver's own is ARMv6 code and that the add-ons link what that code
# calls. Nothing runs: the cross compiler's own
# libraries are ARMv7, and on the device its own are used instead.
set -euo pipefail
export QEL_PLATFORM=armv6 QEL_NODE=debian
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
. "$here/env.sh"
[ -x "$node_bin" ] || { say "no armhf Node in $noderoot: run install.sh for armhf first"; exit 1; }
"$here/build.sh"
status=0
for object in "$tree"/build/Release/obj.target/*/src/*/*.o; do
  if ! "$triplet-readelf" -A "$object" | grep -q 'Tag_CPU_arch: v6$'; then
    "$triplet-readelf" -A "$object" | grep 'Tag_CPU_arch' >&2
    say "${object#"$tree"/} is not ARMv6 code"
    status=1
  fi
done
# What the compiler left to libatomic (64-bit atomics: ARMv6 has no
# instructions for them) must be linked with it, or the device refuses to
# load the add-on.
for addon in qel qel_sim qel_i2cdev; do
  file="$tree/build/Release/$addon.node"
  if "$triplet-nm" -u "$file" | grep -q ' __atomic_' &&
      ! "$triplet-readelf" -d "$file" | grep -q 'NEEDED.*libatomic'; then
    "$triplet-nm" -u "$file" | grep ' __atomic_' >&2
    say "$addon.node calls libatomic without linking it"
    status=1
  fi
done
exit "$status"
