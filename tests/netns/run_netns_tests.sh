#!/bin/sh
# Runs the namespace tests: each phase in a network namespace of its own
# (unshare -n), with a mount namespace for its own view of /sys (-m). A
# Windows host (.exe) runs under Wine with a Wine server of its own per
# namespace, since Wine's sockets and adapter queries live in its server;
# a native host runs as it is. Needs root.
# Usage: run_netns_tests.sh <netns_host[.exe]> <build dir>
set -eu
if [ -z "${TQ_NETNS_PHASE:-}" ]; then
  if [ "$(id -u)" != 0 ] || ! unshare -n -m true 2>/dev/null; then
    echo "network namespaces need root: skipped"
    exit 77
  fi
  export HOST_EXE="$1" wine=false
  case "$HOST_EXE" in
  *.exe)
    # Made by the first phase's wineboot, saved when its server ends, reused.
    # (Not a copy of the build's prefix: its running server may not have
    # saved the registry yet, and a half-written copy lacks Wine's services.)
    export wine=true WINEPREFIX="$(cd "$2" && pwd)/wineprefix-netns"
    . "$(dirname "$0")/../../scripts/wine-env.sh"
    mkdir -p "$WINEPREFIX"
    ;;
  esac
  status=0
  for phase in loopback-only adapters many-sockets; do
    TQ_NETNS_PHASE=$phase unshare -n -m sh "$0" || status=1
  done
  exit $status
fi

# Inside the phase's namespace: lay out its test hosts, start this
# namespace's Wine server (for a Windows host), run its tests, clean up.
peer_pid=""
# Also on a failed layout: the peers' namespace and this namespace's server go.
trap 'set +e; [ -z "$peer_pid" ] || kill "$peer_pid"; ! $wine || wineserver -k 2>/dev/null' EXIT
# Interface facts under /sys/class/net are those of the namespace that
# mounted sysfs: this one's, as `ip netns exec` arranges it.
mount -t sysfs sysfs /sys
ip link set lo up
if [ "$TQ_NETNS_PHASE" = adapters ]; then
  ip addr add 127.0.0.2/8 dev lo
  # The peers live in a second namespace, reached over veth pairs, so that
  # their datagrams really arrive on the interface that owns the address.
  unshare -n sleep 600 &
  peer_pid=$!
  while [ "$(readlink /proc/$peer_pid/ns/net)" = "$(readlink /proc/$$/ns/net)" ]; do sleep 0.05; done
  for n in 0 2; do
    ip link add veth$n type veth peer name veth$((n + 1)) netns "$peer_pid"
    ip addr add 198.18.$n.1/24 dev veth$n
    ip link set veth$n up
    nsenter -t "$peer_pid" -n sh -c "ip addr add 198.18.$n.2/24 dev veth$((n + 1)); ip link set veth$((n + 1)) up"
  done
  # Two adapters that are down still count; both carry the same address.
  ip link add veth4 type veth peer name veth5
  ip addr add 198.18.4.1/24 dev veth4
  ip addr add 198.18.4.1/24 dev veth5
fi
if [ "$TQ_NETNS_PHASE" = many-sockets ]; then
  # 64 addresses, each on an interface of its own (Wine binds a port once
  # per interface), all up (Linux lists only those): one more than a wait
  # can watch beside the breaker.
  for i in $(seq 0 31); do
    ip link add ma$i type veth peer name mb$i
    ip addr add 198.19.$i.1/32 dev ma$i
    ip addr add 198.19.$i.2/32 dev mb$i
    ip link set ma$i up
    ip link set mb$i up
  done
fi
if $wine; then
  wineserver -p
  wine64 wineboot --init >/dev/null 2>&1 || true
fi
PEER_PID="$peer_pid" python3 "$(dirname "$0")/test_netns.py" -v
