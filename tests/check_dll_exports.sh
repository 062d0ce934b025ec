#!/bin/sh
# The DLL is PE32+ x86-64, exports exactly the four names (ordinals 1 to 4
# in name order), imports only Windows system DLLs and carries a version.
set -eu
dll=$1
dump=$(x86_64-w64-mingw32-objdump -p "$dll")
fail() { echo "FAIL: $*"; exit 1; }

echo "$dump" | grep -q 'file format pei-x86-64' || fail "not PE32+ x86-64"

exports=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -E '^[[:space:]]*\[ *[0-9]+\] ')
expected='[   0] TQ_Proxy_Init
[   1] TQ_Proxy_Send
[   2] TQ_Proxy_SetLog
[   3] TQ_Proxy_UnInit'
[ "$(echo "$exports" | sed 's/^[[:space:]]*//')" = "$expected" ] || fail "export names: $exports"
echo "$dump" | grep -q 'Ordinal Base.*1' || fail "ordinal base"
[ "$(echo "$dump" | grep -c 'Export RVA')" = 4 ] || fail "export address table size"

imports=$(echo "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')
[ "$imports" = "iphlpapi.dll kernel32.dll msvcrt.dll ws2_32.dll " ] || fail "imports: $imports"

echo "$dump" | grep -q 'Resource Directory' || fail "no resource directory"
x86_64-w64-mingw32-objdump -s -j .rsrc "$dll" | grep -q 'bd04effe' || fail "no VERSIONINFO (fixed file info signature)"
echo "exports, imports and version resource as expected"
