#!/usr/bin/env bash
# Cross-compiles the core's C++ tests (test/core) for an ARM platform (with
# 64-bit time_t on 32-bit ARM), and runs them under ctest on the user-mode
# emulator. Arguments go to ctest. No sanitizer or fuzz build here: those
# stay on the host.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/env.sh"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
[ "$cross" = 1 ] || { say "the host's core tests are tools/qel-test-core"; exit 2; }
export QEL_CROSS_TRIPLET="$triplet" QEL_CROSS_PROCESSOR="${triplet%%-*}" QEL_CROSS_EMULATOR="$qemu" \
  QEL_CROSS_DEFINES="$target_defines"

# The sources are those of the copy that build.sh made, so that the core
# and the add-ons are built from one snapshot of the project.
source_dir="$tree/test/core"
[ -d "$source_dir" ] || { say "no copy of the project in $tree: run build.sh first"; exit 1; }
log="$out/core-build.log"
# A build configured from other sources or another tool chain file (an
# older layout of these scripts) starts afresh.
cache="$core_build/CMakeCache.txt"
if ! grep -qs "^CMAKE_HOME_DIRECTORY:INTERNAL=$source_dir\$" "$cache" ||
   ! grep -qs "^CMAKE_TOOLCHAIN_FILE:[A-Z]*=$here/toolchain.cmake\$" "$cache"; then
  rm -rf "$core_build"
fi
mkdir -p "$core_build"
if [ ! -f "$core_build/CMakeCache.txt" ]; then
  if ! cmake -S "$source_dir" -B "$core_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_TOOLCHAIN_FILE="$here/toolchain.cmake" >"$log" 2>&1; then
    cat "$log" >&2
    say "configuring the $platform core build failed"
    exit 1
  fi
fi
if ! cmake --build "$core_build" -j "$(nproc)" -- --no-print-directory >"$log" 2>&1; then
  cat "$log" >&2
  say "building the $platform core tests failed"
  exit 1
fi
for program in "$core_build"/*_test; do
  file "$program" | grep -q "$elf" || { file "$program" >&2; say "not a $platform program"; exit 1; }
done
cd "$core_build" && ctest --output-on-failure -j "$(nproc)" --timeout 1200 "$@"
