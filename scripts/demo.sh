#!/usr/bin/env bash
# The demo: builds tqproxy_hub (a UDP hub on TqProxy.dll), runs it under Wine
# and lets two Linux UDP clients talk to each other through it.
# Usage: bash scripts/demo.sh [--native] [--port N] [--serve [--all]]
#   --native: the hub on libTqProxy.so, built and run natively (no Wine)
#   --serve: no clients, serve until Ctrl-C; --all: listen on every local address
set -eu
cd "$(dirname "$0")/.."
port=9527 serve=0 hub_ip="--ip 127.0.0.1" native=0
while [ $# -gt 0 ]; do
  case "$1" in
    --native) native=1 ;;
    --serve) serve=1 ;;
    --all) hub_ip="--all" ;;
    --port) port=${2:?--port needs a number}; shift ;;
    *) echo "usage: bash scripts/demo.sh [--native] [--port N] [--serve [--all]]" >&2; exit 2 ;;
  esac
  shift
done
case "$port" in '' | *[!0-9]*) echo "demo: bad port '$port'" >&2; exit 2 ;; esac

sh scripts/install-deps.sh
if [ "$native" = 1 ]; then
  echo "== building tqproxy_hub and libTqProxy.so (native) =="
  cmake --preset linux >/dev/null
  cmake --build --preset linux --target tqproxy_hub
else
  echo "== building tqproxy_hub.exe and TqProxy.dll (MinGW-w64) =="
  cmake --preset mingw >/dev/null
  cmake --build --preset mingw --target tqproxy_hub
fi
if ss -Hlun "sport = :$port" | grep -q .; then
  echo "demo: UDP port $port is in use; pick another with --port N" >&2; exit 1
fi

hub_pid="" log=$(mktemp)
if [ "$native" = 1 ]; then
  hub=build-linux/bin/tqproxy_hub run="" where="natively" lib=libTqProxy.so
  wine_up() { :; }
  wine_down() { :; }
else
  unset WINEPREFIX  # always the prefix in build/, never the user's own
  TQ_BUILD_DIR=build
  . scripts/wine-env.sh
  hub=build/bin/tqproxy_hub.exe run=cmake/wine-run.sh where="under Wine" lib=TqProxy.dll
fi
cleanup() {
  if [ -n "$hub_pid" ] && kill -0 "$hub_pid" 2>/dev/null; then kill "$hub_pid"; fi
  rm -f "$log"
  wine_down
}
trap cleanup EXIT
wine_up

if [ "$serve" = 1 ]; then
  echo "demo: in another terminal: python3 scripts/demo_clients.py --port $port"
  $run "$hub" $hub_ip --port "$port" || true; exit 0
fi
# The clients are on loopback: every-address mode leaves 127.0.0.1 out.
[ "$hub_ip" = "--all" ] && { echo "demo: --all needs --serve" >&2; exit 2; }
$run "$hub" $hub_ip --port "$port" --seconds 6 >"$log" 2>&1 &
hub_pid=$!
for _ in $(seq 150); do  # up to 30 s: the first start in a new prefix is slow
  if grep -q "status report" "$log" || ! kill -0 "$hub_pid" 2>/dev/null; then break; fi
  sleep 0.2
done
result=1
if grep -q "status report" "$log"; then
  echo "== clients alice and bob (Linux, Python) =="
  python3 scripts/demo_clients.py --port "$port" && result=0
fi
wait "$hub_pid" || result=1; hub_pid=""
echo "== hub output ($(basename "$hub") $where, with the library's log) =="
cat "$log"
[ "$result" = 0 ] && echo "DEMO OK: bob heard alice through $lib on UDP port $port" ||
  echo "DEMO FAILED (see the output above)"
exit "$result"
