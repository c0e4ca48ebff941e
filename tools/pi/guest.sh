#!/usr/bin/env bash
# Prepares what the emulated Raspberry Pi of one board (env.sh) boots:
# Debian's device tree of the board as a Pi's firmware would hand it over
# (i2c0-2 aliases, so that BSC1 is /dev/i2c-1; BSC1 at 400 kHz, as
# dtparam=i2c_arm_baudrate sets it; the mini UART on, as enable_uart=1 has
# it), the same tree with a Raspberry Pi 5's model name, and the initramfs:
# busybox, the two I2C modules, SocketCAN's modules and can-utils, Debian's
# Node of the board's architecture with its libraries, and the project's
# add-ons and guest tests at $guest_tree; on the Pi 2 also the package's
# ARMv6 prebuilt add-ons, as an installed package holds them.
# Run after install.sh and the platform build (and the armv6 one on the Pi 2).
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/env.sh"

kernel_release="$(ls "$kernel_root/lib/modules")"
dtb_source="$(find "$kernel_root/usr/lib/linux-image-$kernel_release" -name "$dtb_name" | head -1)"
[ -n "$dtb_source" ] || { say "no $dtb_name in $kernel_root"; exit 1; }

# ------------------------------------------------------------ device trees
cp "$dtb_source" "$dtb_board"
fdtput -c "$dtb_board" /aliases 2>/dev/null || true
fdtput -t s "$dtb_board" /aliases i2c0 /soc/i2c@7e205000
fdtput -t s "$dtb_board" /aliases i2c1 /soc/i2c@7e804000
fdtput -t s "$dtb_board" /aliases i2c2 /soc/i2c@7e805000
fdtput -t u "$dtb_board" /soc/i2c@7e804000 clock-frequency 400000
# The bridge model's test side talks through the mini UART (/dev/ttyS1).
fdtput -t s "$dtb_board" /soc/serial@7e215040 status okay
cp "$dtb_board" "$dtb_pi5"
fdtput -t s "$dtb_pi5" / model "Raspberry Pi 5 Model B Rev 1.0"

# --------------------------------------------------------------- initramfs
stage="$board_dir/initramfs"
rm -rf "$stage"
mkdir -p "$stage"/{bin,usr/bin,lib/modules,"usr/lib/$triplet",usr/share,etc,proc,sys,dev,tmp,root}
cp "$debs/guest/bin/busybox" "$stage/bin/busybox"
# Node asks libc for these.
cp "$debs/guest/usr/bin/getconf" "$debs/guest/usr/bin/getent" "$stage/usr/bin/"
cp "$lib_pi/init" "$stage/init"
cp "$kernel_root/lib/modules/$kernel_release/kernel/drivers/i2c/busses/i2c-bcm2835.ko" \
  "$kernel_root/lib/modules/$kernel_release/kernel/drivers/i2c/i2c-dev.ko" \
  "$kernel_root/lib/modules/$kernel_release/kernel/drivers/watchdog/bcm2835_wdt.ko" "$stage/lib/modules/"
# SocketCAN for the mirror: CAN sockets, the virtual interface, can-utils.
for module in net/can/can.ko net/can/can-raw.ko drivers/net/can/dev/can-dev.ko drivers/net/can/vcan.ko; do
  cp "$kernel_root/lib/modules/$kernel_release/kernel/$module" "$stage/lib/modules/"
done
cp "$debs/guest/usr/bin/candump" "$debs/guest/usr/bin/cansend" "$debs/guest/usr/bin/stdbuf" "$stage/usr/bin/"
mkdir -p "$stage/usr/libexec/coreutils"
cp "$debs/guest/usr/libexec/coreutils/libstdbuf.so" "$stage/usr/libexec/coreutils/"
# The device's group, a member of it and a user who is not.
printf 'root:x:0:0:root:/root:/bin/sh\npi:x:1000:1000::/tmp:/bin/sh\nguest:x:1001:1001::/tmp:/bin/sh\n' > "$stage/etc/passwd"
printf 'root:x:0:\ni2c:x:998:pi\npi:x:1000:\nguest:x:1001:\n' > "$stage/etc/group"

# Node, its JavaScript parts (Debian's node-* packages) and the shared
# libraries that it and the add-ons need, found through their NEEDED entries.
cp "$node_bin" "$stage/usr/bin/node"
cp -a /usr/share/nodejs "$stage/usr/share/"
lib_dirs=("$noderoot/usr/lib/$triplet" "/usr/lib/$triplet" "/lib/$triplet")
declare -A copied=()
copy_needed() {
  local object="$1" name dir
  for name in $("$triplet-readelf" -d "$object" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p'); do
    [ -z "${copied[$name]:-}" ] || continue
    for dir in "${lib_dirs[@]}"; do
      if [ -e "$dir/$name" ]; then
        cp -L "$dir/$name" "$stage/usr/lib/$triplet/$name"
        copied[$name]=1
        copy_needed "$dir/$name"
        break
      fi
    done
    [ -n "${copied[$name]:-}" ] || { say "no $name for $object"; exit 1; }
  done
}
# The dynamic loader, where Node's program header asks for it.
loader="$("$triplet-readelf" -l "$node_bin" | sed -n 's/.*Requesting program interpreter: \(.*\)\]/\1/p')"
cp -L "/usr/lib/$triplet/${loader##*/}" "$stage$loader"
for object in "$stage"/usr/bin/* "$tree"/build/Release/*.node; do
  copy_needed "$object"
done

# The ARMv6 add-ons stripped and named as the package ships them for Node
# 18's module ABI, into $1; the guest loads them when its build/Release
# is gone (the boot's add-ons "armv6").
armv6_prebuilds() {
  local into="$1" abi addon
  abi="$(sed -n 's/^#define NODE_MODULE_VERSION \([0-9][0-9]*\)[[:space:]]*$/\1/p' "$nodedir/include/node/node_version.h")"
  mkdir -p "$into"
  for addon in $addons; do
    "$triplet-strip" --strip-unneeded -o "$into/$(node -p "require('$root/lib/prebuilds').fileName('$addon', '$abi', 6)")" \
      "$armv6_tree/build/Release/$addon.node"
  done
}

# The project at a path of the guest's own: the host's clone may live under
# /tmp, which the guest's init covers with a tmpfs.
dest="$stage$guest_tree"
mkdir -p "$dest/build/Release" "$dest/src/qel" "$dest/test"
cp -a "$tree"/{index.js,i2c-dev.js,sim.js,package.json,lib,bin} "$dest/"
cp "$tree"/build/Release/*.node "$dest/build/Release/"
cp "$tree/src/qel/messages.h" "$dest/src/qel/"
cp -a "$root/test/helpers" "$root/test/pi" "$dest/test/"
[ "$board" != pi2 ] || armv6_prebuilds "$dest/prebuilds/linux-arm"

(cd "$stage" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) > "$initramfs"
