#!/usr/bin/env bash
# Prepares what the emulated Raspberry Pi boots: Debian's device tree of the
# Raspberry Pi 3 B as a Pi's firmware would hand it over (i2c0-2 aliases,
# so that BSC1 is /dev/i2c-1; BSC1 at 400 kHz, as dtparam=i2c_arm_baudrate
# sets it), the same tree with a Raspberry Pi 5's model name, and the
# initramfs: busybox, the two I2C modules, SocketCAN's modules and can-utils, Debian's arm64 Node with its
# libraries, and the project's add-ons and guest tests at $guest_tree.
# Run after install.sh and the platform build.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/env.sh"

kernel_release="$(ls "$kernel_root/lib/modules")"
dtb_source="$kernel_root/usr/lib/linux-image-$kernel_release/broadcom/bcm2837-rpi-3-b.dtb"

# ------------------------------------------------------------ device trees
cp "$dtb_source" "$dtb_pi3"
fdtput -c "$dtb_pi3" /aliases 2>/dev/null || true
fdtput -t s "$dtb_pi3" /aliases i2c0 /soc/i2c@7e205000
fdtput -t s "$dtb_pi3" /aliases i2c1 /soc/i2c@7e804000
fdtput -t s "$dtb_pi3" /aliases i2c2 /soc/i2c@7e805000
fdtput -t u "$dtb_pi3" /soc/i2c@7e804000 clock-frequency 400000
cp "$dtb_pi3" "$dtb_pi5"
fdtput -t s "$dtb_pi5" / model "Raspberry Pi 5 Model B Rev 1.0"

# --------------------------------------------------------------- initramfs
stage="$pi/initramfs"
rm -rf "$stage"
mkdir -p "$stage"/{bin,usr/bin,lib/modules,usr/lib/aarch64-linux-gnu,usr/share,etc,proc,sys,dev,tmp,root}
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
lib_dirs=("$noderoot/usr/lib/aarch64-linux-gnu" /usr/lib/aarch64-linux-gnu /lib/aarch64-linux-gnu)
declare -A copied=()
copy_needed() {
  local object="$1" name dir
  for name in $(aarch64-linux-gnu-readelf -d "$object" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p'); do
    [ -z "${copied[$name]:-}" ] || continue
    for dir in "${lib_dirs[@]}"; do
      if [ -e "$dir/$name" ]; then
        cp -L "$dir/$name" "$stage/usr/lib/aarch64-linux-gnu/$name"
        copied[$name]=1
        copy_needed "$dir/$name"
        break
      fi
    done
    [ -n "${copied[$name]:-}" ] || { say "no $name for $object"; exit 1; }
  done
}
cp -L /usr/lib/aarch64-linux-gnu/ld-linux-aarch64.so.1 "$stage/lib/ld-linux-aarch64.so.1"
for object in "$stage"/usr/bin/* "$tree"/build/Release/*.node; do
  copy_needed "$object"
done

# The project at a path of the guest's own: the host's clone may live under
# /tmp, which the guest's init covers with a tmpfs.
dest="$stage$guest_tree"
mkdir -p "$dest/build/Release" "$dest/src/qel" "$dest/test"
cp -a "$tree"/{index.js,i2c-dev.js,sim.js,package.json,lib,bin} "$dest/"
cp "$tree"/build/Release/*.node "$dest/build/Release/"
cp "$tree/src/qel/messages.h" "$dest/src/qel/"
cp -a "$root/test/helpers" "$root/test/pi" "$dest/test/"

(cd "$stage" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) > "$initramfs"
