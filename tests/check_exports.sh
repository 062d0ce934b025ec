#!/bin/sh
# The built library exports exactly the four names and needs only the
# system. The DLL: ordinals 1 to 4 in name order, Windows system DLLs, a
# version resource. The .so: soname libTqProxy.so.1, the C and C++ runtime.
set -eu
lib=$1
fail() { echo "FAIL: $*"; exit 1; }
case $lib in
*.dll)
  dump=$(x86_64-w64-mingw32-objdump -p "$lib")
  exports=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[ *[0-9]*\] //p')
  echo "$dump" | grep -q 'Ordinal Base.*1' || fail "ordinal base"
  [ "$(echo "$dump" | grep -c 'Export RVA')" = 4 ] || fail "export address table size"
  imports=$(echo "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')
  [ "$imports" = "iphlpapi.dll kernel32.dll msvcrt.dll ws2_32.dll " ] || fail "imports: $imports"
  x86_64-w64-mingw32-objdump -s -j .rsrc "$lib" | grep -q 'bd04effe' ||
    fail "no VERSIONINFO (fixed file info signature)"
  ;;
*)
  soname=$(readelf -d "$lib" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
  [ "$soname" = libTqProxy.so.1 ] || fail "soname: $soname"
  exports=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort)
  # Sanitizer builds add their runtime; the shipped build has none.
  other=$(readelf -d "$lib" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' | grep -v -x -E \
    'lib(c|m|dl|pthread)\.so\.[0-9]|libstdc\+\+\.so\.6|libgcc_s\.so\.1|ld-linux-x86-64\.so\.2|lib(a|ub|t)san\.so.*' ||
    true)
  [ -z "$other" ] || fail "needs $other"
  ;;
esac
[ "$(echo $exports)" = "TQ_Proxy_Init TQ_Proxy_Send TQ_Proxy_SetLog TQ_Proxy_UnInit" ] ||
  fail "exports: $exports"
echo "exports and dependencies as expected"
