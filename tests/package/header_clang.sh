#!/bin/sh
# The public header with a second compiler: clang for the library's own
# target (x86_64-w64-mingw32, or "native" for Linux), as C and as C++,
# warnings as errors; 77 (skipped) without clang.
# Usage: header_clang.sh <source-dir> [target]
set -eu
src=$(cd "$1" && pwd)
target=${2:-x86_64-w64-mingw32}
clang=$(command -v clang || command -v clang-14) || { echo "SKIP: clang is not installed" && exit 77; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
if [ "$target" = native ]; then set --; else set -- "--target=$target"; fi
cc() { "$clang" "$@" -Wall -Wextra -Werror -I"$src/include" -c; }
# The header's own check file (layout asserts, a callback, the codes), strictly.
for std in c89 c99 c11 c++11 c++17; do
  lang=${std%%[0-9]*}
  cc "$@" -x "$lang" -std=$std -pedantic "$src/tests/header_compile_test.c" -o "$out/$std.o"
done
# A whole host next to the system headers, and the names it leaves for the
# library: DLL imports on Windows (a header without them still links).
cc "$@" -std=c99 "$src/examples/c_host.c" -o "$out/c_host.o"
if [ "$target" = native ]; then nm=nm imp=''; else nm=$target-nm imp=__imp_; fi
imports=$("$nm" "$out/c_host.o" | sed -n "s/^ *U $imp\(TQ_\)/\1/p" | LC_ALL=C sort | tr '\n' ' ')
[ "$imports" = "TQ_Proxy_Init TQ_Proxy_Send TQ_Proxy_SetLog TQ_Proxy_UnInit " ] ||
  { echo "FAIL: clang's object imports: $imports" && exit 1; }
echo "TqProxy.h compiles with $("$clang" --version | head -n 1) for $target as C89/C99/C11 and C++11/C++17"
