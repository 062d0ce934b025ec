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
prefix="$build/wineprefix-netns"
# A copy of the build's prefix is made once: faster than creating one.
if [ ! -d "$prefix" ] && [ -d "$build/wineprefix" ]; then cp -a "$build/wineprefix" "$prefix"; fi
status=0
for phase in loopback-only adapters many-sockets; do
  TQ_NETNS_PHASE=$phase WINEPREFIX="$prefix" HOST_EXE="$host_exe" \
    unshare -n sh "$here/in_namespace.sh" || status=1
done
exit $status
