#!/bin/sh
# The installed package and the release archive, as a host receives them.
#   package_test.sh consumer <source-dir> <build-dir>: install, check the files and import
#     libraries, build tests/package/consumer against the install and run it under Wine.
#   package_test.sh archive <source-dir> <build-dir>: make the ZIP, check its exact contents.
set -eu
mode=$1
src=$(cd "$2" && pwd)
build=$(cd "$3" && pwd)
work=$build/package-test/$mode
fail() {
  echo "FAIL: $*"
  exit 1
}
rm -rf "$work"
mkdir -p "$work"

# Every file of the package, relative to its root; nothing more may be there.
expected="CHANGELOG.md
LICENSE
README.md
bin/TqProxy.dll
include/TqProxy.h
lib/TqProxy.lib
lib/cmake/TqProxy/TqProxyConfig.cmake
lib/cmake/TqProxy/TqProxyConfigVersion.cmake
lib/cmake/TqProxy/TqProxyTargets-relwithdebinfo.cmake
lib/cmake/TqProxy/TqProxyTargets.cmake
lib/libTqProxy.dll.a
share/doc/TqProxy/host-guide.md"
config=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt" |
  tr '[:upper:]' '[:lower:]')
expected=$(echo "$expected" | sed "s/relwithdebinfo/${config:-noconfig}/")

if [ "$mode" = archive ]; then
  (cd "$work" && cpack --config "$build/CPackConfig.cmake" -B "$work" >cpack.log) ||
    fail "cpack: $(cat "$work/cpack.log")"
  set -- "$work"/TqProxy-*-win64.zip
  [ -f "$1" ] || fail "no TqProxy-<version>-win64.zip in $work"
  top=$(basename "$1" .zip)
  listing=$(cmake -E tar tf "$1" | grep -v '/$' | sed "s|^$top/||" | LC_ALL=C sort)
  [ "$listing" = "$(echo "$expected" | LC_ALL=C sort)" ] || fail "archive contents:
$listing"
  # Stripped for release: the export table and the version resource must survive.
  (cd "$work" && cmake -E tar xf "$1" "$top/bin/TqProxy.dll")
  sh "$src/tests/check_dll_exports.sh" "$work/$top/bin/TqProxy.dll" || fail "archived DLL"
  # ... and it still works: the run-time loading example, given this DLL's path.
  dll="Z:$(echo "$work/$top/bin/TqProxy.dll" | tr / '\134')"
  "$src/cmake/wine-run.sh" "$build/bin/tqproxy_dynamic_host.exe" "$dll" >"$work/run.log" 2>&1 ||
    fail "the archived DLL: $(cat "$work/run.log")"
  echo "$(basename "$1"): the package files, under $top/; its DLL runs"
  exit 0
fi

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" --component TqProxy >/dev/null
listing=$(cd "$prefix" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
[ "$listing" = "$(echo "$expected" | LC_ALL=C sort)" ] || fail "installed files:
$listing"

# The installed DLL still exports exactly the four names.
sh "$src/tests/check_dll_exports.sh" "$prefix/bin/TqProxy.dll" >/dev/null ||
  fail "installed DLL: $(sh "$src/tests/check_dll_exports.sh" "$prefix/bin/TqProxy.dll")"

# Both import libraries import the same four names, by name, from TqProxy.dll.
names='TQ_Proxy_Init
TQ_Proxy_Send
TQ_Proxy_SetLog
TQ_Proxy_UnInit'
readobj=$(command -v llvm-readobj || command -v llvm-readobj-14) || fail "llvm-readobj missing"
msvc=$("$readobj" "$prefix/lib/TqProxy.lib")
[ "$(echo "$msvc" | sed -n 's/^Symbol: \(TQ_\)/\1/p' | LC_ALL=C sort)" = "$names" ] ||
  fail "TqProxy.lib symbols: $msvc"
[ "$(echo "$msvc" | grep -c '^Format: COFF-import-file')" = 4 ] ||
  fail "TqProxy.lib: not 4 short imports"
[ "$(echo "$msvc" | grep -c '^Name type: name$')" = 4 ] || fail "TqProxy.lib: not all by name"
members=$(echo "$msvc" | sed -n 's|^File: ||p' | sed 's|.*/||')
if echo "$members" | grep -qv -e '^TqProxy\.dll$' -e '^TqProxy\.lib(TqProxy\.dll)$'; then
  fail "TqProxy.lib names another DLL"
fi
echo "$msvc" | grep -q '^Arch: x86_64$' || fail "TqProxy.lib is not x86-64"
gnu=$(x86_64-w64-mingw32-nm "$prefix/lib/libTqProxy.dll.a" | sed -n 's/^.* I __imp_//p' |
  LC_ALL=C sort)
[ "$gnu" = "$names" ] || fail "libTqProxy.dll.a imports: $gnu"

# The package's version must be the header's (checked where the consumer finds it).
h=$src/include/TqProxy.h
version=$(sed -n 's/^#define TQPROXY_VERSION_\(MAJOR\|MINOR\|PATCH\) //p' "$h" | paste -sd.)

# A host project of its own, same toolchain. The toolchain searches packages
# only below its root or the staging prefix, so the install is named as both.
cmake -S "$src/tests/package/consumer" -B "$work/consumer" -G Ninja \
  --toolchain "$src/cmake/mingw64-toolchain.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_STAGING_PREFIX="$prefix" >"$work/configure.log" 2>&1 ||
  fail "consumer configure: $(cat "$work/configure.log")"
grep -q "TqProxy $version from $prefix/lib/cmake/TqProxy" "$work/configure.log" ||
  fail "consumer found another package: $(grep 'TqProxy' "$work/configure.log")"
cmake --build "$work/consumer" >"$work/build.log" 2>&1 ||
  fail "consumer build: $(cat "$work/build.log")"

# The installed DLL on the search path, not copied next to the exe.
WINEPATH="Z:$(echo "$prefix/bin" | tr / '\134')" "$src/cmake/wine-run.sh" \
  "$work/consumer/consumer.exe" >"$work/run.log" 2>&1 || fail "consumer run: $(cat "$work/run.log")"
grep -q "^consumer: TqProxy $version received" "$work/run.log" ||
  fail "consumer: $(cat "$work/run.log")"
echo "installed package: files, import libraries and version as expected; consumer passed"
