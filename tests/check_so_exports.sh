#!/bin/sh
# The shared library is ELF x86-64, has the soname libTqProxy.so.1, exports
# exactly the four names and needs only the system's C and C++ runtime.
set -eu
so=$1
fail() { echo "FAIL: $*"; exit 1; }

readelf -h "$so" | grep -q 'Machine:.*X86-64' || fail "not x86-64"
soname=$(readelf -d "$so" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
[ "$soname" = libTqProxy.so.1 ] || fail "soname: $soname"

exports=$(nm -D --defined-only "$so" | awk '{print $3}' | sort | tr '\n' ' ')
[ "$exports" = "TQ_Proxy_Init TQ_Proxy_Send TQ_Proxy_SetLog TQ_Proxy_UnInit " ] ||
  fail "exports: $exports"

# Sanitizer builds add their runtime; the shipped build has none.
needed=$(readelf -d "$so" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' | grep -v -E '^lib(a|ub|t)san\.so' | sort | tr '\n' ' ')
for lib in $needed; do
  case $lib in
    libc.so.6 | libm.so.6 | libstdc++.so.6 | libgcc_s.so.1 | libpthread.so.0 | libdl.so.2 | ld-linux-x86-64.so.2) ;;
    *) fail "needs $lib" ;;
  esac
done
echo "soname, exports and needed libraries as expected"
