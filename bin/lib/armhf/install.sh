#!/usr/bin/env bash
# Installs what the armhf build and its emulated tests need: the armhf
# architecture, the cross compilers, the user-mode emulator, the armhf
# libraries that Debian's armhf Node and the core tests link with, and that
# Node with its headers unpacked into the build tree. Idempotent, and quiet
# when everything is in place. Needs root.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/env.sh"

if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  say "adding the armhf architecture"
  dpkg --add-architecture armhf
fi

packages=(
  # host tools
  make python3 cmake pkg-config file g++-arm-linux-gnueabihf qemu-user
  # what the add-ons and the core tests link with
  libbcm2835-dev:armhf libuv1-dev:armhf libgtest-dev:armhf
  # what Debian's armhf Node needs at run time
  libc6:armhf libstdc++6:armhf libgcc-s1:armhf libuv1:armhf libicu72:armhf libssl3:armhf
  libc-ares2:armhf libnghttp2-14:armhf libbrotli1:armhf zlib1g:armhf
  node-acorn node-cjs-module-lexer node-undici
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  say "installing ${missing[*]}"
  apt-get update -qq >/dev/null
  log="$(mktemp)"
  if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    exit 1
  fi
  rm -f "$log"
fi

# ------------------------------------------------- Debian's armhf Node
# nodejs:armhf conflicts with the machine's own nodejs, so its packages are
# unpacked, not installed. Their version is the one of the armhf runtime
# libraries installed above, from the same archive.
unpacked=(nodejs libnode108 libnode-dev libuv1-dev)
want="$(apt-cache policy "${unpacked[@]/%/:armhf}" | awk '/^[^ ]/ { p = $1 } /Candidate:/ { print p $2 }')"
if [ ! -x "$arm_node" ] || [ "$(cat "$noderoot/.packages" 2>/dev/null)" != "$want" ]; then
  say "unpacking Debian's armhf Node and its headers into $noderoot"
  debs="$armhf/debs"
  rm -rf "$debs" "$noderoot"
  mkdir -p "$debs" "$noderoot"
  # apt's download user must be able to write here.
  chown _apt "$debs" 2>/dev/null || true
  (cd "$debs" && apt-get download -qq "${unpacked[@]/%/:armhf}" >/dev/null 2>&1) ||
    (cd "$debs" && apt-get update -qq >/dev/null && apt-get download -qq "${unpacked[@]/%/:armhf}" >/dev/null)
  for deb in "$debs"/*.deb; do dpkg-deb -x "$deb" "$noderoot"; done
  # node-gyp takes every header from <nodedir>/include/node; libuv's come
  # from their own package.
  cp -a "$noderoot/usr/include/uv.h" "$noderoot/usr/include/uv" "$noderoot/usr/include/node/"
  printf '%s' "$want" > "$noderoot/.packages"
  rm -rf "$debs"
fi
