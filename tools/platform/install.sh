#!/usr/bin/env bash
# Installs what the build and tests of one platform and Node need (see
# env.sh): for an ARM platform its architecture, the cross compilers, the
# user-mode emulator and the libraries that the add-ons, the core tests and
# Node link with; then the Node itself with its headers, and the project's
# npm dependencies. Idempotent, and quiet when everything is in place.
# Needs root.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/env.sh"

# ----------------------------------------------- the platform's tool chain
if [ "$cross" = 1 ]; then
  if ! dpkg --print-foreign-architectures | grep -qx "$deb_arch"; then
    say "adding the $deb_arch architecture"
    dpkg --add-architecture "$deb_arch"
  fi
  a=":$deb_arch"
  # Host tools; what the add-ons and the core tests link with; what every
  # program of the platform needs at run time (the official armv7l Node
  # links libatomic); what Debian's Node needs besides (its JavaScript parts
  # are node-* packages of all architectures).
  apt_install \
    make python3 cmake pkg-config file "g++-$triplet" qemu-user \
    "libbcm2835-dev$a" "libuv1-dev$a" "libgtest-dev$a" \
    "libc6$a" "libstdc++6$a" "libgcc-s1$a" "libatomic1$a" \
    "libuv1$a" "libicu72$a" "libssl3$a" "libc-ares2$a" "libnghttp2-14$a" "libbrotli1$a" "zlib1g$a" \
    node-acorn node-cjs-module-lexer node-undici
else
  # The host's own set-up: compilers, and no bcm2835 (x86_64 builds no
  # qel.node).
  "$root/bin/qel-setup"
fi

# -------------------------------------------------- the project's npm deps
# The add-ons' build needs nan and node-gyp, as the host's build does, and
# the tests the TypeScript compiler.
cd "$root"
if [ ! -f node_modules/nan/nan.h ] || [ ! -f node_modules/node-gyp/bin/node-gyp.js ] ||
   [ ! -f node_modules/typescript/package.json ] || [ package.json -nt node_modules/.package-lock.json ]; then
  say "installing npm dependencies"
  npm install --ignore-scripts --no-audit --no-fund --loglevel=error >/dev/null
fi

# --------------------------------------------------------------- the Node
install_debian_node() {
  # The version is the candidate of the runtime libraries installed above,
  # from the same archive.
  local unpacked=(nodejs libnode108 libnode-dev libuv1-dev)
  local want
  want="$(apt-cache policy "${unpacked[@]/%/:$deb_arch}" | awk '/^[^ ]/ { p = $1 } /Candidate:/ { print p $2 }')"
  [ -x "$node_bin" ] && [ "$(cat "$noderoot/.packages" 2>/dev/null)" = "$want" ] && return 0
  say "unpacking Debian's $deb_arch Node and its headers into $noderoot"
  local debs="$out/debs"
  rm -rf "$debs" "$noderoot"
  mkdir -p "$debs" "$noderoot"
  # apt's download user must be able to write here.
  chown _apt "$debs" 2>/dev/null || true
  (cd "$debs" && apt-get download -qq "${unpacked[@]/%/:$deb_arch}" >/dev/null 2>&1) ||
    { apt_updated=0; apt_update; (cd "$debs" && apt_try download -qq "${unpacked[@]/%/:$deb_arch}"); }
  local deb
  for deb in "$debs"/*.deb; do dpkg-deb -x "$deb" "$noderoot"; done
  # node-gyp takes every header from <nodedir>/include/node; libuv's come
  # from their own package.
  cp -a "$noderoot/usr/include/uv.h" "$noderoot/usr/include/uv" "$noderoot/usr/include/node/"
  printf '%s' "$want" > "$noderoot/.packages"
  rm -rf "$debs"
}

install_upstream_node() {
  # Installed once; removing $noderoot fetches the newest of the major again.
  [ -x "$node_bin" ] && [ -f "$nodedir/include/node/common.gypi" ] && return 0
  say "installing $npm_package@$node_choice into $noderoot"
  rm -rf "$noderoot"
  mkdir -p "$noderoot"
  # In a folder of its own, not among the project's dependencies; nothing of
  # the package runs at install time. An ARM build is meant for another
  # processor than npm's own, which only --force lets through.
  local force=()
  [ "$cross" = 0 ] || force=(--force)
  npm install --prefix "$noderoot" "${force[@]}" --no-save --no-package-lock --ignore-scripts --no-audit --no-fund \
    --loglevel=error "$npm_package@$node_choice" >/dev/null
  [ -f "$nodedir/include/node/common.gypi" ] || { say "$npm_package@$node_choice has no headers"; exit 1; }
}

if [ "$node_choice" = debian ]; then install_debian_node; else install_upstream_node; fi
