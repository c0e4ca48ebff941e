#!/usr/bin/env bash
# 32-bit ARM only: checks that 64-bit times and file offsets change no
# structure that the add-on shares with Node, libuv or the bcm2835 library:
# layout.cc is built three ways (as is, 64-bit offsets, 64-bit offsets and
# times) and run under the emulator; what the driver uses must print the
# same. The bcm2835 library's bcm2835_peripherals_base is an off_t, 4 bytes
# in Debian's library and 8 in the add-on's view of its header, so the
# driver must never refer to it: its objects are checked for that too.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/env.sh"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
[ "$platform" = armhf ] || { say "the layout check is for 32-bit ARM"; exit 2; }

dir="$out/layout"
mkdir -p "$dir"
declare -A defines=([plain]="" [offsets64]="-D_FILE_OFFSET_BITS=64" [times64]="$time64_defines")
for variant in plain offsets64 times64; do
  # shellcheck disable=SC2086
  "$triplet-g++" -std=gnu++17 ${defines[$variant]} -I"$nodedir/include/node" -I"$bcm2835_include" \
    "$here/layout.cc" -o "$dir/$variant"
  "$qemu" "$dir/$variant" | grep -v -e '^(unused)' -e '^bcm2835_peripherals_base' > "$dir/$variant.txt"
done
status=0
for variant in offsets64 times64; do
  if ! diff -u "$dir/plain.txt" "$dir/$variant.txt" >&2; then
    say "a structure shared with Node, libuv or bcm2835 changes its layout with ${defines[$variant]}"
    status=1
  fi
done
# The driver's own objects, without the library linked in.
objects=("$tree"/build/Release/obj.target/qel/src/qel/*.o)
if "$triplet-nm" -u "${objects[@]}" | grep -q 'bcm2835_peripherals_base'; then
  say "the driver refers to bcm2835_peripherals_base, whose size differs between the library and the add-on"
  status=1
fi
exit "$status"
