#!/usr/bin/env bash
# The benchmark suite in one command: installs what is missing, builds, runs
# every benchmark (4 to 6 minutes), prints the table and writes
# bench/results/results.csv and bench/results/results.png.
# Usage: bash scripts/bench.sh [--churn] [seconds per round, default 0.6] [rounds, default 5]
#   --churn: instead of the network figures, receive throughput from about
#   100 000 peers while the table turns over, against 1 peer (about 6 minutes:
#   the table needs one idle limit of arrivals first).
# BENCH_BUILD_DIR names the build folder (default build; Wine runs in its prefix).
set -eu
# --native: libTqProxy.so against native loops instead (scripts/bench-native.sh).
if [ "${1:-}" = "--native" ]; then shift; exec bash "$(dirname "$0")/bench-native.sh" "$@"; fi
cd "$(dirname "$0")/.."
churn=0
if [ "${1:-}" = "--churn" ]; then churn=1; shift; fi
seconds=${1:-0.6} rounds=${2:-5} build=${BENCH_BUILD_DIR:-build} out=bench/results

sh scripts/install-deps.sh
sh scripts/install-deps.sh gnuplot-nox
cmake -S . -B "$build" -G Ninja --toolchain cmake/mingw64-toolchain.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target tq_bench_host tq_bench_inproc tq_loadgen
bin=$build/bin
mkdir -p "$out"

unset WINEPREFIX  # always the build folder's prefix, never the user's own
TQ_BUILD_DIR=$build
. scripts/wine-env.sh
pids=""
cleanup() {
  for p in $pids; do kill "$p" 2>/dev/null || true; done
  wine_down
}
trap cleanup EXIT
wine_up

# Every receiver at once, each on its own port: the generator takes their
# figures one after the other, so that each ratio compares like moments.
if [ "$churn" = 1 ]; then
  # Two library hosts: one whose table turns over, one with a single peer.
  targets=""
  for name in churn one; do
    port=$("$bin/tq_loadgen" freeport)
    cmake/wine-run.sh "$bin/tq_bench_host.exe" lib "$port" >"$out/host-$name.log" 2>&1 &
    pids="$pids $!"
    targets="$targets lib:$port"
  done
  echo "== table turning over: 305 s of arrivals, then $rounds rounds of $seconds s =="
  # shellcheck disable=SC2086 # two words, no blanks in them
  "$bin/tq_loadgen" churn "$seconds" "$rounds" 100000 $targets >"$out/rows.txt" ||
    echo "bench: some figures are missing (see above)"
else
  targets="native:$("$bin/tq_loadgen" freeport)"
  for mode in lib shape recvfrom; do
    port=$("$bin/tq_loadgen" freeport)
    cmake/wine-run.sh "$bin/tq_bench_host.exe" "$mode" "$port" >"$out/host-$mode.log" 2>&1 &
    pids="$pids $!"
    targets="$targets $mode:$port"
  done
  echo "== network figures: $rounds rounds of $seconds s, the best kept =="
  "$bin/tq_loadgen" run "$seconds" "$rounds" $targets >"$out/rows.txt" ||
    echo "bench: some figures are missing (see above)"
fi
for p in $pids; do  # the hosts end on the generator's quit; bounded anyway
  for _ in $(seq 50); do kill -0 "$p" 2>/dev/null && sleep 0.2; done
done
echo "== in-process figures =="
cmake/wine-run.sh "$bin/tq_bench_inproc.exe" | tr -d '\r' >>"$out/rows.txt"

echo "== results: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | xargs)," \
  "$(wine64 --version), load average $(cut -d' ' -f1-3 /proc/loadavg) =="
grep '^ROW,' "$out/rows.txt" | cut -d, -f2- |
  awk -v csv="$out/results.csv" -v dat="$out/recv.dat" -f bench/report.awk
gnuplot -e "data='$out/recv.dat'; out='$out/results.png'" bench/plot.gp
echo "written: $out/results.csv $out/results.png"
