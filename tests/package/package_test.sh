#!/bin/sh
# The installed package and the release archive, as a host receives them:
# TqProxy.dll (its host run under Wine) or libTqProxy.so.
#   package_test.sh consumer <source-dir> <build-dir> win64|linux: install,
#     check the files, build tests/package/consumer against the install (by
#     find_package; on Linux also by pkg-config) and run it.
#   package_test.sh archive <source-dir> <build-dir> win64|linux: make the
#     archive, check its exact contents, run the archived library.
set -eu
mode=$1
src=$(cd "$2" && pwd)
build=$(cd "$3" && pwd)
os=$4
work=$build/package-test/$mode
fail() { echo "FAIL: $*" && exit 1; }
rm -rf "$work"
mkdir -p "$work"
config=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt" |
  tr '[:upper:]' '[:lower:]')
version=$(sed -n 's/^#define TQPROXY_VERSION_\(MAJOR\|MINOR\|PATCH\) //p' \
  "$src/include/TqProxy.h" | paste -sd.)
major=${version%%.*}

# Every file and link of the package, relative to its root; nothing more.
files="CHANGELOG.md LICENSE README.md include/TqProxy.h share/doc/TqProxy/host-guide.md
lib/cmake/TqProxy/TqProxyConfig.cmake lib/cmake/TqProxy/TqProxyConfigVersion.cmake
lib/cmake/TqProxy/TqProxyTargets-${config:-noconfig}.cmake lib/cmake/TqProxy/TqProxyTargets.cmake"
if [ "$os" = win64 ]; then
  files="$files bin/TqProxy.dll lib/TqProxy.lib lib/libTqProxy.dll.a"
  links=
  lib=bin/TqProxy.dll
  exe=.exe
  run="$src/cmake/wine-run.sh"
  native() { echo "Z:$1" | tr / '\134'; }
else
  files="$files lib/libTqProxy.so.$version lib/pkgconfig/tqproxy.pc"
  links="lib/libTqProxy.so -> libTqProxy.so.$major
lib/libTqProxy.so.$major -> libTqProxy.so.$version"
  lib=lib/libTqProxy.so.$major
  exe=
  run=env
  native() { echo "$1"; }
fi
check_tree() { # check_tree <root> <what>
  got=$(cd "$1" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
  # shellcheck disable=SC2086  # one path a word
  [ "$got" = "$(printf '%s\n' $files | LC_ALL=C sort)" ] || fail "$2 files:
$got"
  got=$(cd "$1" && find . -type l | sed 's|^\./||' | LC_ALL=C sort |
    while read -r l; do echo "$l -> $(readlink "$1/$l")"; done)
  [ "$got" = "$links" ] || fail "$2 links:
$got"
  # Stripped for release: the exports (and the DLL's version resource) survive.
  sh "$src/tests/check_exports.sh" "$1/$lib" >"$work/exports.log" ||
    fail "$2 library: $(cat "$work/exports.log")"
}

if [ "$mode" = archive ]; then
  (cd "$work" && cpack --config "$build/CPackConfig.cmake" -B "$work" >cpack.log) ||
    fail "cpack: $(cat "$work/cpack.log")"
  set -- "$work"/TqProxy-"$version"-"$os"*.*
  [ -f "$1" ] || fail "no TqProxy-$version-$os archive in $work"
  top=$(basename "$1" | sed 's/\.\(zip\|tar\.gz\)$//')
  mkdir "$work/x"
  (cd "$work/x" && cmake -E tar xf "$1")
  [ "$(ls "$work/x")" = "$top" ] || fail "archive top level: $(ls "$work/x")"
  check_tree "$work/x/$top" archive
  # ... and it still works: the run-time loading example, given its path.
  "$run" "$build/bin/tqproxy_dynamic_host$exe" "$(native "$work/x/$top/$lib")" >"$work/run.log" 2>&1 ||
    fail "the archived library: $(cat "$work/run.log")"
  echo "$(basename "$1"): the package under $top/; its library runs"
  exit 0
fi

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" --component TqProxy >/dev/null
check_tree "$prefix" installed
consumers=$work/consumer/consumer$exe
if [ "$os" = win64 ]; then
  # Both import libraries import the same four names, by name, from TqProxy.dll.
  names=$(printf '%s\n' TQ_Proxy_Init TQ_Proxy_Send TQ_Proxy_SetLog TQ_Proxy_UnInit)
  readobj=$(command -v llvm-readobj || command -v llvm-readobj-14) || fail "llvm-readobj missing"
  msvc=$("$readobj" "$prefix/lib/TqProxy.lib")
  # TqProxy.lib: four short imports by name, x86-64, from TqProxy.dll alone.
  [ "$(echo "$msvc" | sed -n 's/^Symbol: \(TQ_\)/\1/p' | LC_ALL=C sort)" = "$names" ] &&
    [ "$(echo "$msvc" | grep -c -x -e 'Format: COFF-import-file' -e 'Name type: name')" = 8 ] &&
    echo "$msvc" | grep -q '^Arch: x86_64$' && ! echo "$msvc" | sed -n 's|^File: \(.*/\)*||p' |
    grep -qv -x -e 'TqProxy\.dll' -e 'TqProxy\.lib(TqProxy\.dll)' || fail "TqProxy.lib: $msvc"
  gnu=$(x86_64-w64-mingw32-nm "$prefix/lib/libTqProxy.dll.a" | sed -n 's/^.* I __imp_//p' |
    LC_ALL=C sort)
  [ "$gnu" = "$names" ] || fail "libTqProxy.dll.a imports: $gnu"
  # The toolchain searches packages only below its root or the staging
  # prefix, so the install is named as both.
  set -- --toolchain "$src/cmake/mingw64-toolchain.cmake" -DCMAKE_STAGING_PREFIX="$prefix"
  # The installed DLL on the search path, not copied next to the exe.
  export WINEPATH="$(native "$prefix/bin")"
else
  set --
  export LD_LIBRARY_PATH="$prefix/lib"
fi

# A host project of its own, finding the package by CMake; the version
# must be the header's.
cmake -S "$src/tests/package/consumer" -B "$work/consumer" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$prefix" "$@" >"$work/configure.log" 2>&1 ||
  fail "consumer configure: $(cat "$work/configure.log")"
grep -q "TqProxy $version from $prefix/lib/cmake/TqProxy" "$work/configure.log" ||
  fail "consumer found another package: $(grep 'TqProxy' "$work/configure.log")"
cmake --build "$work/consumer" >"$work/build.log" 2>&1 ||
  fail "consumer build: $(cat "$work/build.log")"

if [ "$os" = linux ]; then
  # The same source by pkg-config and the compiler alone, as a Makefile would.
  export PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig"
  [ "$(pkg-config --modversion tqproxy)" = "$version" ] || fail "pkg-config version"
  # shellcheck disable=SC2046  # the flags are meant to split
  c++ -std=c++17 $(pkg-config --cflags tqproxy) "$src/tests/package/consumer/consumer.cpp" \
    -o "$work/consumer-pc" $(pkg-config --libs tqproxy) >"$work/build-pc.log" 2>&1 ||
    fail "pkg-config build: $(cat "$work/build-pc.log")"
  consumers="$consumers $work/consumer-pc"
fi
# Each finds the installed library on the search path (on Linux by its soname).
for c in $consumers; do
  [ -n "$exe" ] || ldd "$c" | grep -q "libTqProxy.so.$major => $prefix/lib/libTqProxy.so.$major " ||
    fail "$c loads: $(ldd "$c" | grep TqProxy)"
  "$run" "$c" >"$work/run.log" 2>&1 || fail "$c: $(cat "$work/run.log")"
  grep -q "^consumer: TqProxy $version received" "$work/run.log" || fail "$c: $(cat "$work/run.log")"
done
echo "installed package: files, links, import libraries and version as expected; consumers passed"
