#!/bin/sh
# Runs the namespace tests: each phase in a network namespace of its own
# (unshare -n), with a mount namespace for its own view of /sys (-m). A
# Windows host (.exe) runs under Wine with a Wine server of its own per
# namespace, since Wine's sockets and adapter queries live in its server;
# a native host runs as it is. Needs root.
# Usage: run_netns_tests.sh <netns_host[.exe]> <build dir>
set -eu
if [ "$(id -u)" != 0 ] || ! unshare -n -m true 2>/dev/null; then
  echo "network namespaces need root: skipped"
  exit 77
fi
export HOST_EXE="$1"
case "$HOST_EXE" in
  *.exe)
    export TQ_NETNS_PLATFORM=wine
    # Made by the first phase's wineboot, saved when its server ends, reused.
    # (Not a copy of the build's prefix: its running server may not have
    # saved the registry yet, and a half-written copy lacks Wine's services.)
    export WINEPREFIX="$(cd "$2" && pwd)/wineprefix-netns"
    mkdir -p "$WINEPREFIX"
    ;;
  *) export TQ_NETNS_PLATFORM=linux ;;
esac
status=0
for phase in loopback-only adapters many-sockets; do
  TQ_NETNS_PHASE=$phase unshare -n -m sh "$(dirname "$0")/in_namespace.sh" || status=1
done
exit $status
