#!/bin/sh
# Runs a Windows program under Wine, quietly and headless, in the build
# folder's own prefix unless WINEPREFIX says otherwise.
here=$(cd "$(dirname "$0")" && pwd)
: "${WINEPREFIX:=${TQPROXY_WINEPREFIX:-$here/../build/wineprefix}}"
export WINEPREFIX
. "$here/../scripts/wine-env.sh"  # the other settings
wine=/usr/lib/wine/wine64
case " $* " in
*" --gtest_filter="*) ;;
*) exec "$wine" "$@" ;;
esac

# A test passes only with status 0 and GoogleTest's closing summary, which a
# process that died in a test, whatever its status, never printed.
log=$(mktemp)
status=$(mktemp)
trap 'rm -f "$log" "$status"' EXIT
{
  "$wine" "$@" 2>&1
  echo $? >"$status"
} | tee "$log"
rc=$(cat "$status")
if [ "$rc" != 0 ]; then exit "$rc"; fi
if grep -Eq '^\[=+\] [0-9]+ tests? from [0-9]+ test suites? ran\.' "$log"; then exit 0; fi
echo "wine-run.sh: no closing summary from GoogleTest: the test process died" >&2
exit 1
