#!/usr/bin/env bash
# Builds the instruction-counting plugin of qemu-arm (bench/insn_count.c)
# into build/insn/insn_count.so: against the plugin header of the very
# QEMU release that is installed, taken from Debian's source package of
# that version (Debian ships qemu-user with no plugins and no header).
# Quiet and quick once built.
#   bench/insn_plugin.sh     prints the plugin's path
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
say() { echo "qel-bench: $*" >&2; }
. "$root/tools/apt.sh"
work="$root/build/insn"
mkdir -p "$work"
# The emulator's own version, e.g. 1:7.2+dfsg-7+deb12u18+b3; a binary
# rebuild (+bN) has the source of the version without it.
version="$(dpkg-query -W -f '${Version}' qemu-user)"
source_version="${version%+b[0-9]*}"
plugin="$work/insn_count.so"
stamp="$work/built-for"
want="$version $(md5sum < "$root/bench/insn_count.c" | cut -d' ' -f1)"
if [ -f "$plugin" ] && [ "$(cat "$stamp" 2>/dev/null)" = "$want" ]; then echo "$plugin"; exit 0; fi

header="$work/qemu-${source_version//:/_}/qemu-plugin.h"
if [ ! -f "$header" ]; then
  src="$work/src"
  rm -rf "$src" && mkdir -p "$src"
  chown _apt "$src" 2>/dev/null || true
  if ! (cd "$src" && apt-get source --download-only -qq "qemu=$source_version" >/dev/null 2>&1); then
    say "adding Debian's source packages to apt's sources"
    printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
      > /etc/apt/sources.list.d/qel-bookworm-src.sources
    apt_update
    (cd "$src" && apt_try source --download-only -qq "qemu=$source_version")
  fi
  tar -xf "$src"/qemu_*.orig.tar.* -C "$src" --wildcards '*/include/qemu/qemu-plugin.h'
  mkdir -p "$(dirname "$header")"
  cp "$(find "$src" -name qemu-plugin.h | head -1)" "$header"
  rm -rf "$src"
fi
command -v pkg-config >/dev/null && pkg-config --exists glib-2.0 || apt_install pkg-config libglib2.0-dev
gcc -shared -fPIC -O2 -Wall -Wextra -Werror -Wno-unused-parameter $(pkg-config --cflags glib-2.0) \
  -I"$(dirname "$header")" "$root/bench/insn_count.c" -o "$plugin"
echo "$want" > "$stamp"
echo "$plugin"
