#!/usr/bin/env bash
# Runs the JavaScript tests of the copy ($out/tree) on its Node: each test
# file in a Node of its own, QEL_JS_JOBS at a time, and every scenario child
# through the same launcher (QEL_NODE_LAUNCHER), which for an ARM platform is
# the emulator. Arguments: test files (default: all of
# test/js). Prints one line per file and a closing count; exits non-zero
# when a test failed.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/env.sh"

# Natively as many files at once as `node --test` runs (one core is left to
# the drivers' threads: some tests count heartbeats and polls in a window);
# under emulation, where deadlines stretch, two.
jobs=$(($(nproc) > 1 ? $(nproc) - 1 : 1))
[ "$cross" = 0 ] || jobs=2
jobs="${QEL_JS_JOBS:-$jobs}"
export QEL_NODE_LAUNCHER="$launcher"
# Deadlines only: an emulated Node starts in about 2 s and runs several
# times slower than a native one.
if [ "$cross" = 1 ]; then export QEL_TIME_FACTOR="${QEL_TIME_FACTOR:-10}"; fi
logs="$(js_logs_dir "${QEL_SIM_BUS:-}")"
rm -rf "$logs"
mkdir -p "$logs"

files=()
if [ "$#" -gt 0 ]; then
  for f in "$@"; do files+=("$(basename "$f")"); done
else
  for f in "$tree"/test/js/*.test.js; do files+=("$(basename "$f")"); done
fi

run_one() {
  local name="$1" start=$SECONDS rc=0
  # A test file run as a program reports as under --test, which takes other
  # flags on every Node major. A file that hangs is stopped after half an
  # hour.
  (cd "$tree" && timeout -k 10 1800 $launcher --test-reporter=tap "test/js/$name") \
    >"$logs/$name.log" 2>&1 || rc=$?
  local pass fail
  pass="$(sed -n 's/^# pass //p' "$logs/$name.log" | tail -1)"
  fail="$(sed -n 's/^# fail //p' "$logs/$name.log" | tail -1)"
  skip="$(sed -n 's/^# skipped //p' "$logs/$name.log" | tail -1)"
  echo "${pass:-0} ${fail:-0} $rc $((SECONDS - start)) ${skip:-0}" > "$logs/$name.result"
}

for name in "${files[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  run_one "$name" &
done
wait

passed=0
failed=0
status=0
for name in "${files[@]}"; do
  read -r pass fail rc secs skip < "$logs/$name.result"
  passed=$((passed + pass))
  failed=$((failed + fail))
  verdict=ok
  # A file that ran nothing failed, unless it skipped its tests, each with
  # its reason (they need what this platform's run has not).
  if [ "$rc" != 0 ] || [ "$fail" != 0 ] || { [ "$pass" = 0 ] && [ "${skip:-0}" = 0 ]; }; then
    verdict="FAILED (exit $rc)"
    status=1
    # The failing tests with their diagnostics.
    grep -E -A40 '^ *not ok ' "$logs/$name.log" | head -150 || tail -40 "$logs/$name.log"
  fi
  printf '  %-28s %4d passed, %d failed, %4ds  %s\n' "$name" "$pass" "$fail" "$secs" "$verdict"
  # A file that died early counts once as failed.
  if [ "$rc" != 0 ] && [ "$fail" = 0 ]; then failed=$((failed + 1)); fi
done
node_name="Node $node_choice"
[ "$node_choice" != debian ] || node_name="Debian's Node"
echo "$platform, $node_name${QEL_SIM_BUS:+, QEL_SIM_BUS=$QEL_SIM_BUS}: $passed passed, $failed failed" > "$logs/summary"
exit "$status"
