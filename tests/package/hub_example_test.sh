#!/bin/sh
# The hub demo as CI runs it: tqproxy_hub (under Wine when it is a Windows
# program) for 6 s on a free loopback port, and the demo's two clients
# talking through it.
set -eu
hub=$1
src=$(cd "$2" && pwd)
port=$(python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
log=$(mktemp)
trap 'rm -f "$log"' EXIT
run=env
case $hub in *.exe) run="$src/cmake/wine-run.sh" ;; esac
"$run" "$hub" --ip 127.0.0.1 --port "$port" --seconds 6 >"$log" 2>&1 &
hub_pid=$!
result=0
python3 "$src/scripts/demo_clients.py" --port "$port" || result=1
wait "$hub_pid" || result=1  # the hub ends by itself after its 6 s
grep -q "^tqproxy_hub: stopped after relaying [1-9]" "$log" || result=1
echo "== tqproxy_hub output =="
cat "$log"
exit $result
