#!/usr/bin/env bash
# The native benchmark: libTqProxy.so in a native host against two bare
# loops in the same run, on loopback, 1, 16 and 100 000 peers, 64 and 1200 B.
# Builds, runs (about 1 minute with the defaults), prints the table of
# ratios and writes bench/results/native.csv.
# Usage: bash scripts/bench-native.sh [seconds per round, default 0.6] [rounds, default 5]
#        (also: bash scripts/bench.sh --native ...)
# BENCH_BUILD_DIR names the build folder (default build-linux).
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-0.6} rounds=${2:-5} build=${BENCH_BUILD_DIR:-build-linux} out=bench/results

sh scripts/install-deps.sh g++ cmake ninja-build
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j 2 --target tq_native_host tq_native_gen
bin=$build/bin
mkdir -p "$out"

pids=""
cleanup() { for p in $pids; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT

# Every receiver at once, each on its own port: the generator takes each
# figure on each of them in turn, so that each ratio compares like moments.
targets=""
for mode in lib shape recvfrom; do
  port=$("$bin/tq_native_gen" freeport)
  "$bin/tq_native_host" "$mode" "$port" >"$out/native-host-$mode.log" 2>&1 &
  pids="$pids $!"
  targets="$targets $mode:$port"
done
load0=$(cut -d' ' -f1-3 /proc/loadavg)
echo "== native figures: $rounds rounds of $seconds s =="
# shellcheck disable=SC2086 # variant:port words, no blanks in them
timeout 600 "$bin/tq_native_gen" "$seconds" "$rounds" $targets >"$out/native-rows.txt" ||
  echo "bench: some figures are missing (see above)"
for p in $pids; do  # the hosts end on the generator's quit; bounded anyway
  for _ in $(seq 50); do kill -0 "$p" 2>/dev/null && sleep 0.2; done
done

echo "== results: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | xargs)," \
  "Linux $(uname -r), load average $load0 before, $(cut -d' ' -f1-3 /proc/loadavg) after =="
grep '^ROUND,' "$out/native-rows.txt" | cut -d, -f2- |
  awk -v csv="$out/native.csv" -f bench/native/report.awk
echo "written: $out/native.csv"
