#!/bin/sh
# Runs a Windows program under Wine, quietly and headless, in the build
# folder's own prefix unless WINEPREFIX says otherwise.
here=$(cd "$(dirname "$0")" && pwd)
: "${WINEPREFIX:=${TQPROXY_WINEPREFIX:-$here/../build/wineprefix}}"
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export TZ=UTC
unset DISPLAY
exec /usr/lib/wine/wine64 "$@"
