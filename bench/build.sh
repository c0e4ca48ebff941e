#!/usr/bin/env bash
# Builds what the benchmark runs beside the add-ons into BUILD: the C++
# bench programs from the driver's core (cmake, bench/CMakeLists.txt) and
# figure 2a's floor add-on (node-gyp, bench/floor.gyp copied to
# BUILD/floor, outside the package's binding.gyp), against NODEDIR's
# headers. For another platform, ARCH is node-gyp's and TOOLCHAIN cmake's
# tool chain file, and the caller exports the cross compilers.
#   bench/build.sh BUILD NODEDIR [ARCH TOOLCHAIN]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$1" nodedir="$2" arch="${3:-}" toolchain="${4:-}"
mkdir -p "$build"

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root/bench" -B "$build" -DCMAKE_BUILD_TYPE=Release ${toolchain:+-DCMAKE_TOOLCHAIN_FILE="$toolchain"} \
    >"$build/cmake.log" 2>&1 || { cat "$build/cmake.log" >&2; exit 1; }
fi
cmake --build "$build" -j "$(nproc)" -- --no-print-directory >"$build/make.log" 2>&1 || { cat "$build/make.log" >&2; exit 1; }

floor="$build/floor"
mkdir -p "$floor"
# The gyp file names its source relative to BUILD/floor.
cmp -s "$root/bench/floor.gyp" "$floor/binding.gyp" || cp "$root/bench/floor.gyp" "$floor/binding.gyp"
# The node-gyp the package's own build takes: on a clone that bin/qel-setup
# set up without the development dependencies, the one that comes with npm.
gyp="$(node "$root/lib/build-paths.js" node-gyp)"
[ -n "$gyp" ] || { echo "qel-bench: node-gyp is missing: npm has none and $root/node_modules holds none: run \`npm install\` in $root" >&2; exit 1; }
# node-gyp on the host's Node, with no npm settings that would override
# --nodedir or --arch.
gyp_run() {
  (cd "$floor" && env -u npm_config_nodedir -u npm_config_arch node "$gyp" "$@" --nodedir="$nodedir" ${arch:+--arch="$arch"})
}
{ [ -f "$floor/build/Makefile" ] || gyp_run configure; } >"$build/floor.log" 2>&1 && gyp_run build >>"$build/floor.log" 2>&1 ||
  { cat "$build/floor.log" >&2; echo "qel-bench: the floor add-on did not build${arch:+ for $arch}" >&2; exit 1; }
