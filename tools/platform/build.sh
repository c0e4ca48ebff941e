#!/usr/bin/env bash
# Builds the add-ons (qel.node, qel_i2cdev.node and qel_sim.node; on x86_64
# the last two, see env.sh) for one platform and Node in a copy of the
# project ($out/tree), with that Node's headers and, for ARM, the cross
# compilers. Quiet when all goes well.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/env.sh"

# ------------------------------------------------------------- the copy
# Everything of the project but its build output, node_modules (a link to
# the project's) and git's data is copied afresh on every run; the copy's
# own build folder stays.
mkdir -p "$tree"
for item in "$tree"/* "$tree"/.[!.]*; do
  case "${item##*/}" in build|node_modules|'*'|'.[!.]*') ;; *) rm -rf "$item" ;; esac
done
for item in "$root"/* "$root"/.[!.]*; do
  case "${item##*/}" in build|node_modules|.git|'*'|'.[!.]*') ;; *) cp -a "$item" "$tree/" ;; esac
done
# A copy made in another checkout (or one since removed) links elsewhere.
[ "$(readlink "$tree/node_modules")" = "$root/node_modules" ] || ln -sfn "$root/node_modules" "$tree/node_modules"
mkdir -p "$tree/build/sim-log"

# ------------------------------------------------------------- bcm2835
# The bcm2835 header alone: a cross compiler must not see the rest of the
# host's /usr/include.
if [ -n "$bcm2835_lib" ]; then
  mkdir -p "$bcm2835_include"
  cp -p "$bcm2835_header" "$bcm2835_include/bcm2835.h"
  [ "$platform" != armv6 ] || bash "$root/tools/platform/armv6-bcm2835.sh"
  [ -f "$bcm2835_lib" ] || { say "no bcm2835 library at $bcm2835_lib: run install.sh first"; exit 1; }
else
  bcm2835_include=
  # A qel.node of an earlier build would be loaded as if current.
  rm -f "$tree/build/Release/qel.node"
fi

# ------------------------------------------------------------- node-gyp
gyp="$root/node_modules/node-gyp/bin/node-gyp.js"
[ -f "$gyp" ] || { say "node-gyp is missing: run npm install first"; exit 1; }

# node-gyp runs on the host's Node and is called directly, not through npm,
# with no npm settings in its environment: an npmrc's nodedir would override
# --nodedir, and the build would silently use the host's headers.
env_args=(-u npm_config_nodedir -u npm_config_target -u npm_config_arch -u npm_config_dist_url
  -u npm_config_devdir -u NPM_CONFIG_NODEDIR)
if [ "$cross" = 1 ]; then
  # make splits these into words: the flags ride along with the compiler.
  export CC="$triplet-gcc${arch_flags:+ $arch_flags}" CXX="$triplet-g++${arch_flags:+ $arch_flags}"
  export LINK="$CXX" AR="$triplet-ar"
  if [ "$platform" = armv6 ]; then
    dso="$out/armv6-dso.o"
    $CC -O2 -fPIC -c "$root/tools/platform/armv6-dso.c" -o "$dso"
    export LINK="$CXX -nostartfiles $dso"
  fi
  export CC_host=gcc CXX_host=g++ LINK_host=g++ AR_host=ar
fi
log="$out/build.log"
gyp_run() {
  local command="$1"
  shift
  if ! (cd "$tree" && env "${env_args[@]}" node "$gyp" "$command" --nodedir="$nodedir" --arch="$gyp_arch" \
      --loglevel=warn "$@") >"$log" 2>&1; then
    cat "$log" >&2
    say "node-gyp $command failed"
    exit 1
  fi
  # Warnings are errors for the driver's own code, but show any that get
  # through (from headers, say).
  grep -E 'warning:' "$log" >&2 || true
}

stamp="$tree/build/.configured"
# package.json gives the version that configure writes into the Makefile.
want="$nodedir $bcm2835_lib $(cat "$tree/binding.gyp" "$tree/package.json" | md5sum | cut -d' ' -f1)"
if [ ! -f "$tree/build/Makefile" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
  gyp_run configure -- -Dbcm2835_include="$bcm2835_include" -Dbcm2835_lib="$bcm2835_lib"
  echo "$want" > "$stamp"
fi
gyp_run build -j max

# The add-ons must be objects of the platform, or the run below would test
# nothing.
for addon in $addons; do
  if ! file -L "$tree/build/Release/$addon.node" | grep -q "$elf"; then
    file -L "$tree/build/Release/$addon.node" >&2
    say "$addon.node is not an object for $platform"
    exit 1
  fi
done
