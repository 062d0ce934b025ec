#!/usr/bin/env bash
# The demo: builds tqproxy_hub (a UDP hub on TqProxy.dll), runs it under Wine
# and lets two Linux UDP clients talk to each other through it.
# Usage: bash scripts/demo.sh [--port N] [--serve [--all]]
#   --serve: no clients, serve until Ctrl-C; --all: listen on every local address
set -eu
cd "$(dirname "$0")/.."
port=9527 serve=0 hub_ip="--ip 127.0.0.1"
while [ $# -gt 0 ]; do
  case "$1" in
    --serve) serve=1 ;;
    --all) hub_ip="--all" ;;
    --port) port=${2:?--port needs a number}; shift ;;
    *) echo "usage: bash scripts/demo.sh [--port N] [--serve [--all]]" >&2; exit 2 ;;
  esac
  shift
done
case "$port" in '' | *[!0-9]*) echo "demo: bad port '$port'" >&2; exit 2 ;; esac

echo "== building tqproxy_hub.exe and TqProxy.dll (MinGW-w64) =="
sh scripts/install-deps.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw --target tqproxy_hub
if ss -Hlun "sport = :$port" | grep -q .; then
  echo "demo: UDP port $port is in use; pick another with --port N" >&2; exit 1
fi

unset WINEPREFIX  # always the prefix in build/, never the user's own
TQ_BUILD_DIR=build
. scripts/wine-env.sh
hub_pid="" log=$(mktemp)
cleanup() {
  if [ -n "$hub_pid" ] && kill -0 "$hub_pid" 2>/dev/null; then kill "$hub_pid"; fi
  rm -f "$log"
  wine_down
}
trap cleanup EXIT
wine_up

hub=build/bin/tqproxy_hub.exe
if [ "$serve" = 1 ]; then
  echo "demo: in another terminal: python3 scripts/demo_clients.py --port $port"
  cmake/wine-run.sh "$hub" $hub_ip --port "$port" || true; exit 0
fi
# The clients are on loopback: every-address mode leaves 127.0.0.1 out.
[ "$hub_ip" = "--all" ] && { echo "demo: --all needs --serve" >&2; exit 2; }
cmake/wine-run.sh "$hub" $hub_ip --port "$port" --seconds 6 >"$log" 2>&1 &
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
echo "== hub output (tqproxy_hub.exe under Wine, with the library's log) =="
cat "$log"
[ "$result" = 0 ] && echo "DEMO OK: bob heard alice through TqProxy.dll on UDP port $port" ||
  echo "DEMO FAILED (see the output above)"
exit "$result"
