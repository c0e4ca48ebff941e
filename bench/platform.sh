#!/usr/bin/env bash
# tools/qel-bench --platform PLATFORM: the figures on an ARM platform under
# user-mode emulation. The platform's add-ons come from the platform
# matrix's copy of the project (tools/platform/build.sh, $tree), its Node is
# Debian's; the C++ bench programs and the floor add-on are cross-compiled
# into build/bench-PLATFORM. The runner itself (bench/run.js) stays on the
# host's Node and starts every measured process on the emulator.
#   bench/platform.sh PLATFORM [run.js arguments]
set -euo pipefail
export QEL_PLATFORM="$1" QEL_NODE=debian
shift
. "$(dirname "${BASH_SOURCE[0]}")/../tools/platform/env.sh"
say() { echo "qel-bench: $*" >&2; }
build="$root/build/bench-$platform"
mkdir -p "$build"

if [ "${QEL_BENCH_SETUP:-1}" != 0 ]; then
  bash "$root/tools/platform/install.sh" >"$build/install.log" 2>&1 || { cat "$build/install.log" >&2; exit 1; }
  bash "$root/tools/platform/build.sh"
fi

# -------------------------- the C++ bench programs and the floor add-on
export QEL_CROSS_TRIPLET="$triplet" QEL_CROSS_PROCESSOR="${triplet%%-*}" QEL_CROSS_EMULATOR="$qemu" \
  QEL_CROSS_DEFINES="$target_defines"
export CC="$triplet-gcc" CXX="$triplet-g++" LINK="$triplet-g++" AR="$triplet-ar"
export CC_host=gcc CXX_host=g++ LINK_host=g++ AR_host=ar
bash "$root/bench/build.sh" "$build" "$nodedir" "$gyp_arch" "$root/tools/platform/toolchain.cmake"

# ----------------------------------------------------------- the figures
has_only=0
for arg in "$@"; do [ "$arg" != --only ] || has_only=1; done
only=()
[ "$has_only" = 1 ] || only=(--only core,paced,latency)
# The instruction counts need the emulator's counting plugin (one for both
# qemu-arm and qemu-aarch64).
case " $* " in
  *instructions*)
    export QEL_BENCH_INSN_PLUGIN="$(bash "$root/bench/insn_plugin.sh")"
    if [ "$platform" = armhf ]; then
      # The Pi Zero's build too, run on the same emulation (see env.sh).
      armv6_tree="$root/build/armv6/tree"
      [ "${QEL_BENCH_SETUP:-1}" = 0 ] || QEL_PLATFORM=armv6 bash "$root/tools/platform/build.sh"
      [ ! -f "$armv6_tree/build/Release/qel_sim.node" ] || export QEL_BENCH_ARMV6_TREE="$armv6_tree"
    fi ;;
esac
QEL_BENCH_BUILD="$build" QEL_BENCH_TREE="$tree" QEL_BENCH_NODE="$launcher" QEL_BENCH_EMULATOR="$qemu" \
  QEL_BENCH_MACHINE="$platform under $qemu (user-mode emulation), Debian's Node" \
  node "$root/bench/run.js" "${only[@]}" "$@"
