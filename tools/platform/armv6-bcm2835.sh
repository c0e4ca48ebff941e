#!/usr/bin/env bash
# The bcm2835 library as ARMv6 code, built from Debian's source package:
# Debian's libbcm2835.a for armhf is ARMv7 Thumb-2, which would be linked
# into an ARMv6 qel.node as it is. Quiet and quick once built.
set -euo pipefail
export QEL_PLATFORM=armv6
. "$(dirname "${BASH_SOURCE[0]}")/env.sh"
[ -f "$bcm2835_lib" ] && exit 0
work="$root/build/armv6-bcm2835"
rm -rf "$work/src"
mkdir -p "$work/src"
chown _apt "$work/src" 2>/dev/null || true
if ! (cd "$work/src" && apt-get source --download-only -qq bcm2835 >/dev/null 2>&1); then
  say "adding Debian's source packages to apt's sources"
  printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
    > /etc/apt/sources.list.d/qel-bookworm-src.sources
  apt_update
  (cd "$work/src" && apt_try source --download-only -qq bcm2835)
fi
tar -xf "$work"/src/bcm2835_*.orig.tar.* -C "$work/src"
source="$(find "$work/src" -name bcm2835.c -path '*/src/*' | head -1)"
$triplet-gcc $arch_flags -O2 -fPIC -c "$source" -I"$(dirname "$source")" -o "$work/bcm2835.o"
rm -f "$bcm2835_lib"
$triplet-ar rcs "$bcm2835_lib" "$work/bcm2835.o"
