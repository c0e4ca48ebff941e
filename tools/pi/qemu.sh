#!/usr/bin/env bash
# Builds the QEMU whose BSC I2C controller behaves as the BCM2835 datasheet
# describes it (qemu-bsc.patch) and that has the bridge model (qel_bridge.c,
# built by qemu-bridge.patch), from the source of Debian's QEMU package in
# bookworm's backports, for 64-bit Arm system emulation with the Raspberry Pi
# boards only. Quiet when all goes well; skipped when the build is current.
# Needs root for the build dependencies.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/env.sh"

# -------------------------------------------------- build dependencies
# QEMU 10 needs a newer meson than bookworm's, from the same backports.
apt_install -t "$backports" ninja-build libglib2.0-dev libpixman-1-dev libfdt-dev python3-venv dpkg-dev bzip2 meson python3-pycotap

# ------------------------------------------------------------- source
# The version of the stock QEMU that install.sh put in from the backports.
version="$(dpkg-query -W -f='${source:Version}' qemu-system-arm)"
upstream="${version#*:}"
upstream="${upstream%-*}"
tarball="qemu_$upstream.orig.tar.xz"
mkdir -p "$qemu_src"
if [ ! -f "$qemu_src/$tarball" ]; then
  say "fetching the source of Debian's qemu $version"
  chown _apt "$qemu_src" 2>/dev/null || true
  # The mirror may serve the upstream tarball without the package's .dsc
  # and Debian changes; the build below needs the tarball only.
  (cd "$qemu_src" && apt-get source -qq --download-only "qemu=$version" >/dev/null 2>&1) || true
  [ -f "$qemu_src/$tarball" ] || { say "could not fetch $tarball"; exit 1; }
fi
# The tarball is the one that apt's signed index names. (awk reads to the
# end: apt-cache killed by a closed pipe would fail the script.)
want_sha="$(apt-cache showsrc qemu | awk -v v="$version" -v f="$tarball" '
  /^Version:/ { this = ($2 == v) }
  /^Checksums-Sha256:/ { s = this; next }
  /^[^ ]/ { s = 0 }
  s && $3 == f && !found { print $1; found = 1 }')"
[ "$(sha256sum "$qemu_src/$tarball" | cut -d' ' -f1)" = "$want_sha" ] || { say "$tarball does not match apt's index"; exit 1; }

# The tarball unpacks into qemu-VERSION, without Debian's +ds.
tree_dir="$qemu_src/qemu-${upstream%%+*}"
stamp="$qemu_build/.built"
sources=("$lib_pi/qemu-bsc.patch" "$lib_pi/qemu-bridge.patch" "$lib_pi/qel_bridge.c" "$lib_pi/qemu-devices.mak")
want="$version $(cat "${sources[@]}" | md5sum | cut -d' ' -f1)"
[ -x "$patched_qemu" ] && [ "$(cat "$stamp" 2>/dev/null)" = "$want" ] && exit 0

say "building QEMU $upstream with the BSC controller patch and the bridge model (a few minutes)"
rm -rf "$tree_dir" "$qemu_build"
tar -xJf "$qemu_src/$tarball" -C "$qemu_src"
patch -s -d "$tree_dir" -p1 < "$lib_pi/qemu-bsc.patch"
patch -s -d "$tree_dir" -p1 < "$lib_pi/qemu-bridge.patch"
cp "$lib_pi/qel_bridge.c" "$tree_dir/hw/i2c/qel_bridge.c"
cp "$lib_pi/qemu-devices.mak" "$tree_dir/configs/devices/aarch64-softmmu/qel-raspi.mak"
# Debian's +ds tarball leaves out the prebuilt firmware; the build wants the
# EDK2 images to exist, and the Raspberry Pi boards use none of them.
for fd in aarch64-code arm-code arm-vars riscv-code riscv-vars i386-code i386-secure-code i386-vars \
    x86_64-code x86_64-secure-code loongarch64-code loongarch64-vars; do
  [ -e "$tree_dir/pc-bios/edk2-$fd.fd.bz2" ] || : > "$tree_dir/pc-bios/edk2-$fd.fd.bz2"
done
mkdir -p "$qemu_build"
log="$qemu_build/build.log"
# Debian's python3, which has Debian's meson; a Python of its own on PATH
# would not.
if ! (cd "$qemu_build" && "$tree_dir/configure" --python=/usr/bin/python3 --target-list=aarch64-softmmu \
      --without-default-features --without-default-devices --with-devices-aarch64=qel-raspi \
      --disable-docs --disable-tools --disable-install-blobs --disable-werror --enable-fdt=system \
      && make -j"$(nproc)" qemu-system-aarch64) >"$log" 2>&1; then
  tail -40 "$log" >&2
  say "the QEMU build failed (log: $log)"
  exit 1
fi
echo "$want" > "$stamp"
