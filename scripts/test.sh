#!/bin/sh
# Installs what is missing, builds the DLL, the examples and the tests, and
# runs every test under Wine.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
sh scripts/install-deps.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw
TQ_BUILD_DIR=build
. scripts/wine-env.sh
wine_up
trap wine_down EXIT
ctest --preset mingw "$@"
