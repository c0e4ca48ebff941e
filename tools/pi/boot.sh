#!/usr/bin/env bash
# Boots the emulated Raspberry Pi 3 B once and runs the guest tests of one
# mode, with the console on standard output (also kept in LOG):
#   boot.sh QEMU DTB MODE LOG
# The bridge is QEMU's EEPROM at 0x25 on BSC1 (i2c-bus.1), its memory a
# fresh copy of the prepared image; after the power-off the copy holds what
# the guest left in the device. The guest has no RTC: it takes the host's
# clock from the kernel command line.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/env.sh"
qemu="$1" dtb="$2" mode="$3" log="$4"

memory="$pi/eeprom-$mode.bin"
cp "$image" "$memory"
# One TCG thread for all four cores: the multi-threaded default spends its
# time waiting for the host's cores, which other work shares.
timeout 900 "$qemu" -M raspi3b -accel tcg,thread=single \
  -kernel "$kernel_root/boot/vmlinuz-$(ls "$kernel_root/lib/modules")" -dtb "$dtb" -initrd "$initramfs" \
  -append "console=ttyAMA0 rdinit=/init iomem=relaxed quiet loglevel=3 qel.time=$(date +%s) qel.mode=$mode qel.tree=$guest_tree" \
  -display none -serial stdio -monitor none -no-reboot \
  -drive if=none,id=bridge,format=raw,file="$memory" \
  -device at24c-eeprom,bus=i2c-bus.1,address=0x25,rom-size="$(stat -c %s "$memory")",address-size=1,drive=bridge \
  </dev/null 2>&1 | tee "$log"
