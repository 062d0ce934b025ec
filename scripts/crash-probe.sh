#!/bin/sh
# Shows that the harness reports a crash as a failure: builds a test that
# crashes on purpose, in a build folder of its own, and runs it N times
# (default 100) through CTest and the Wine wrapper, as the suite runs its
# tests. Exits 0 only when every run was reported failed.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
runs=${1:-100}
probe=build/crash-probe
cmake --preset mingw -B "$probe" -DTQPROXY_CRASH_PROBE=ON >/dev/null
cmake --build "$probe" --target crash_probe_tests --parallel 2 >/dev/null
TQ_BUILD_DIR=build
. scripts/wine-env.sh
wine_up
trap wine_down EXIT
failed=0 passed=0 i=0
while [ "$i" -lt "$runs" ]; do
  i=$((i + 1))
  out=$(ctest --test-dir "$probe" -R CrashProbe 2>&1 || true)
  case "$out" in
  *"1 tests failed out of 1"*) failed=$((failed + 1)) ;;
  *"0 tests failed out of 1"*) passed=$((passed + 1)); echo "run $i: reported passed" ;;
  *) printf 'run %s: the probe did not run\n%s\n' "$i" "$out"; exit 2 ;;
  esac
done
echo "crash probe: $failed of $runs runs reported failed, $passed passed"
[ "$failed" = "$runs" ]
