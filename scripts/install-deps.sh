#!/bin/sh
# Installs what the builds (Windows and native Linux) and the tests need
# on Debian 12 (as root), and nothing when it is all there already.
# Usage: sh scripts/install-deps.sh [package...]: only the packages named
# (the benchmarks' own), if any are.
set -eu
packages=${*:-"g++ binutils g++-mingw-w64-x86-64-posix mingw-w64-tools wine64 cmake ninja-build googletest llvm clang clang-format iproute2 python3"}
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi
