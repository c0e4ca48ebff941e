#!/usr/bin/env bash
# Boots the emulated Raspberry Pi of one board (env.sh) once and runs the
# guest tests of one mode, with the console on standard output (also kept
# in LOG):
#   boot.sh QEMU DTB MODE LOG [bridge]
# MODE is the test file's, or that with "-armv6": the same tests on the
# package's ARMv6 prebuilt add-ons. With `bridge`, the bridge model
# (tools/pi/qel_bridge.c, in the QEMU that qemu.sh builds) answers at 0x25
# on BSC1 (i2c-bus.1), and its chardev is joined to the guest's mini UART
# (/dev/ttyS1) by relay.js, whose record of every request and answer lands
# beside LOG (bridge-MODE.log). Without it, nothing answers at 0x25. The
# guest has no RTC: it takes the host's clock from the kernel command line.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/env.sh"
qemu="$1" dtb="$2" mode="$3" log="$4" with="${5:-}"
addons=source
case "$mode" in *-armv6) addons=armv6 ;; esac

bridge_args=()
if [ "$with" = bridge ]; then
  sockets="$(mktemp -d)"
  node "$lib_pi/relay.js" "$sockets" "$(dirname "$log")/bridge-$mode.log" &
  relay=$!
  trap 'kill "$relay" 2>/dev/null || true; rm -rf "$sockets"' EXIT
  for _ in $(seq 100); do
    [ -S "$sockets/bridge.sock" ] && [ -S "$sockets/guest.sock" ] && break
    sleep 0.1
  done
  bridge_args=(-chardev "socket,id=bridge,path=$sockets/bridge.sock"
    -device qel-bridge,bus=i2c-bus.1,address=0x25,chardev=bridge
    -chardev "socket,id=guest,path=$sockets/guest.sock" -serial chardev:guest)
fi
timeout 900 "$qemu" -M "$machine" -accel "$tcg" \
  -kernel "$kernel_root/boot/vmlinuz-$(ls "$kernel_root/lib/modules")" -dtb "$dtb" -initrd "$initramfs" \
  -append "console=ttyAMA0 rdinit=/init iomem=relaxed quiet loglevel=3 qel.time=$(date +%s) qel.mode=${mode%-armv6} qel.addons=$addons qel.tree=$guest_tree" \
  -display none -serial stdio "${bridge_args[@]}" -monitor none -no-reboot \
  </dev/null 2>&1 | tee "$log"
