#!/usr/bin/env bash
# Builds qel.node, qel_i2cdev.node and qel_sim.node for armhf in a copy of the project
# (build/armhf/tree), with the cross compilers and the headers of Debian's
# armhf Node. Quiet when all goes well.
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
[ -e "$tree/node_modules" ] || ln -s "$root/node_modules" "$tree/node_modules"
mkdir -p "$tree/build/sim-log"

# The bcm2835 header of the armhf package alone: the cross compiler must
# not see the rest of the host's /usr/include.
mkdir -p "$armhf/bcm2835/include"
cp -p "/usr/include/bcm2835.h" "$armhf/bcm2835/include/bcm2835.h"

# ------------------------------------------------------------- node-gyp
gyp="$root/node_modules/node-gyp/bin/node-gyp.js"
[ -f "$gyp" ] || { say "node-gyp is missing: run npm install first"; exit 1; }

# node-gyp is called directly, not through npm, and with no npm settings in
# its environment: an npmrc's nodedir would override --nodedir, and the
# build would silently use the host's headers.
env_args=(-u npm_config_nodedir -u npm_config_target -u npm_config_arch -u npm_config_dist_url
  -u npm_config_devdir -u NPM_CONFIG_NODEDIR)
export CC="$triplet-gcc" CXX="$triplet-g++" LINK="$triplet-g++" AR="$triplet-ar"
export CC_host=gcc CXX_host=g++ LINK_host=g++ AR_host=ar
log="$armhf/build.log"
gyp_run() {
  local command="$1"
  shift
  if ! (cd "$tree" && env "${env_args[@]}" node "$gyp" "$command" --nodedir="$nodedir" --arch=arm \
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
want="$nodedir $(md5sum "$tree/binding.gyp" | cut -d' ' -f1)"
if [ ! -f "$tree/build/Makefile" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
  gyp_run configure -- -Dbcm2835_include="$armhf/bcm2835/include" \
    -Dbcm2835_lib="/usr/lib/$triplet/libbcm2835.a"
  echo "$want" > "$stamp"
fi
gyp_run build -j max

# The add-ons must be ARM objects, or the run below would test nothing.
for addon in qel qel_sim qel_i2cdev; do
  if ! file -L "$tree/build/Release/$addon.node" | grep -q 'ARM, EABI5'; then
    file -L "$tree/build/Release/$addon.node" >&2
    say "$addon.node is not an armhf object"
    exit 1
  fi
done
