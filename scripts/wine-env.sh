# Sourced by the scripts: Wine quiet and headless, in a prefix of the build
# folder (never the user's own), with a persistent server so that each
# test process starts in a fraction of a second.
# Usage: . scripts/wine-env.sh <build-dir>; wine_up; ...; wine_down
# A sourcing sh script cannot pass the argument (dash hands the sourced
# file the script's own arguments): it sets TQ_BUILD_DIR instead.
export PATH=/usr/lib/wine:$PATH
export WINEPREFIX="${WINEPREFIX:-$(cd "${TQ_BUILD_DIR:-$1}" && pwd)/wineprefix}"
export TQPROXY_WINEPREFIX="$WINEPREFIX"
export WINEDEBUG=-all
# No winedbg: once it has attached to a crashed process, Wine may end that
# process with status 0 (its threads leave through SIGQUIT with 0). Without
# it, a crash exits with the low byte of the exception code (5).
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
export TZ=UTC
unset DISPLAY

# A server that already runs for this prefix belongs to someone else:
# use it, and leave it running at the end.
wine_up() {
  mkdir -p "$WINEPREFIX"
  if wineserver -p 2>/dev/null; then TQ_WINE_OWNED=1; else TQ_WINE_OWNED=0; fi
  # Creates or updates the prefix and starts Wine's services here, outside
  # any test's pipes (a service holding CTest's pipe would stall it). A
  # server that already runs has its services: another wineboot would only
  # start a second set.
  if [ "$TQ_WINE_OWNED" = 1 ] || [ ! -f "$WINEPREFIX/system.reg" ]; then
    wine64 wineboot --init >/dev/null 2>&1 || true
  fi
}

wine_down() {
  if [ "${TQ_WINE_OWNED:-0}" = 1 ]; then wineserver -k 2>/dev/null || true; fi
}
