#!/bin/sh
# Installs what is missing, then builds and runs every test four times: the
# DLL under Wine, libTqProxy.so natively, and natively again under
# AddressSanitizer with UndefinedBehaviorSanitizer and under ThreadSanitizer
# (any sanitizer report fails its test). Extra arguments go to every ctest
# run (for example -R Datapath). The exit status is that of all four.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
sh scripts/install-deps.sh

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

failed=""
tally=$(mktemp)
trap 'rm -f "$tally"' EXIT
run() {  # run <name> <command...>
  name=$1
  shift
  started=$(date +%s)
  echo "==== $name"
  status=$(mktemp)
  { if "$@"; then echo 0 >"$status"; else echo 1 >"$status"; fi; } 2>&1 | tee -a "$tally"
  if [ "$(cat "$status")" = 0 ]; then result=passed; else result=FAILED failed="$failed $name"; fi
  rm -f "$status"
  echo "==== $name: $result in $(($(date +%s) - started)) s"
}

windows() {
  cmake --preset mingw >/dev/null && cmake --build --preset mingw || return 1
  (
    TQ_BUILD_DIR=build
    . scripts/wine-env.sh
    wine_up
    trap wine_down EXIT
    ctest --preset mingw "$@"
  )
}

native() {  # native <preset> [ctest arguments]
  preset=$1
  shift
  cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" &&
    ctest --preset "$preset" -j2 "$@"
}

run "windows (wine)" windows "$@"
run "linux" native linux "$@"
run "linux-asan (address, undefined)" native linux-asan "$@"
run "linux-tsan (thread)" native linux-tsan "$@"

# One closing line over the four runs, from CTest's own summaries.
awk '/tests passed, [0-9]+ tests? failed out of/ {
  for (i = 1; i <= NF; ++i) if ($i == "out" && $(i + 1) == "of") { total += $(i + 2); bad += $(i - 3) }
} END { printf "tests: %d passed, %d failed\n", total - bad, bad }' "$tally"
if [ -n "$failed" ]; then
  echo "FAILED:$failed"
  exit 1
fi
echo "all four runs passed"
