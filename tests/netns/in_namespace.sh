#!/bin/sh
# Inside a fresh network namespace: lay out the test hosts of the phase,
# start this namespace's Wine server, run the phase's tests, clean up.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
ip link set lo up
peer_pid=""
if [ "$TQ_NETNS_PHASE" = adapters ]; then
  ip addr add 127.0.0.2/8 dev lo
  # The peers live in a second namespace, reached over veth pairs, so that
  # their datagrams really arrive on the interface that owns the address.
  unshare -n sleep 600 &
  peer_pid=$!
  sleep 0.2
  ip link add veth0 type veth peer name veth1
  ip link add veth2 type veth peer name veth3
  ip link set veth1 netns "$peer_pid"
  ip link set veth3 netns "$peer_pid"
  ip addr add 198.18.0.1/24 dev veth0
  ip addr add 198.18.2.1/24 dev veth2
  ip link set veth0 up
  ip link set veth2 up
  nsenter -t "$peer_pid" -n sh -c '
    ip link set lo up
    ip addr add 198.18.0.2/24 dev veth1; ip link set veth1 up
    ip addr add 198.18.2.2/24 dev veth3; ip link set veth3 up'
  # Two adapters that are down still count; both carry the same address.
  ip link add veth4 type veth peer name veth5
  ip addr add 198.18.4.1/24 dev veth4
  ip addr add 198.18.4.1/24 dev veth5
fi
if [ "$TQ_NETNS_PHASE" = many-sockets ]; then
  # 64 addresses, each on an interface of its own (Wine binds a port once
  # per interface): with the breaker's, 65 events, one more than a wait takes.
  ip addr add 127.0.0.2/8 dev lo
  i=0
  while [ $i -lt 32 ]; do
    ip link add "ma$i" type veth peer name "mb$i"
    ip addr add "198.19.$i.1/32" dev "ma$i"
    [ $i -lt 31 ] && ip addr add "198.19.$i.2/32" dev "mb$i"
    i=$((i + 1))
  done
fi
export PATH=/usr/lib/wine:$PATH WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" TZ=UTC
unset DISPLAY
wineserver -p
wine64 wineboot --init >/dev/null 2>&1 || true
status=0
PEER_PID="$peer_pid" python3 "$here/test_netns.py" -v || status=1
wineserver -k || true
[ -n "$peer_pid" ] && kill "$peer_pid" 2>/dev/null
exit $status
