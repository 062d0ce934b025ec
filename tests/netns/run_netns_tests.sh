#!/bin/sh
# Runs the namespace tests: each phase in a network namespace of its own
# (unshare -n), with a Wine prefix and server of its own, since Wine's
# sockets and adapter queries live in its server. Needs root.
# Usage: run_netns_tests.sh <netns_host.exe> <build dir>
set -eu
here=$(cd "$(dirname "$0")" && pwd)
host_exe=$1
build=$(cd "$2" && pwd)
if [ "$(id -u)" != 0 ] || ! unshare -n true 2>/dev/null; then
  echo "network namespaces need root: skipped"
  exit 77
fi
# Made by the first phase's wineboot, saved when its server ends, reused.
# (Not a copy of the build's prefix: its running server may not have
# saved the registry yet, and a half-written copy lacks Wine's services.)
prefix="$build/wineprefix-netns"
mkdir -p "$prefix"
status=0
for phase in loopback-only adapters many-sockets; do
  TQ_NETNS_PHASE=$phase WINEPREFIX="$prefix" HOST_EXE="$host_exe" \
    unshare -n sh "$here/in_namespace.sh" || status=1
done
exit $status
