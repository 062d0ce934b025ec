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
# logged <name> <command...>: its output kept in $work/<name>.log, shown if it fails.
logged() { n=$1 && shift && "$@" >"$work/$n.log" 2>&1 || fail "$n: $(cat "$work/$n.log")"; }
rm -rf "$work" && mkdir -p "$work"
config=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt" | tr '[:upper:]' '[:lower:]')
version=$(sed -n 's/^#define TQPROXY_VERSION_\(MAJOR\|MINOR\|PATCH\) //p' "$src/include/TqProxy.h" | paste -sd.)
major=${version%%.*}

# Every file and link of the package, relative to its root; nothing more.
files="CHANGELOG.md LICENSE README.md include/TqProxy.h share/doc/TqProxy/host-guide.md
lib/cmake/TqProxy/TqProxyConfig.cmake lib/cmake/TqProxy/TqProxyConfigVersion.cmake
lib/cmake/TqProxy/TqProxyTargets-${config:-noconfig}.cmake lib/cmake/TqProxy/TqProxyTargets.cmake"
exe= links= run=env
if [ "$os" = win64 ]; then
  files="$files bin/TqProxy.dll lib/TqProxy.lib lib/libTqProxy.dll.a"
  lib=bin/TqProxy.dll
  exe=.exe
  run="$src/cmake/wine-run.sh"
else
  files="$files lib/libTqProxy.so.$version lib/pkgconfig/tqproxy.pc"
  links="lib/libTqProxy.so -> libTqProxy.so.$major
lib/libTqProxy.so.$major -> libTqProxy.so.$version"
  lib=lib/libTqProxy.so.$major
fi
check_tree() { # check_tree <root> <what>
  got=$(find "$1" -type f -printf '%P\n' -o -type l -printf '%P -> %l\n' | LC_ALL=C sort)
  # shellcheck disable=SC2086  # one path a word
  [ "$got" = "$(printf '%s\n' $files "$links" | grep . | LC_ALL=C sort)" ] || fail "$2 files and links:
$got"
  # The shipped, stripped library: exports, imports (and the DLL's version resource).
  logged "$2-library" sh "$src/tests/check_exports.sh" "$1/$lib"
}

if [ "$mode" = archive ]; then
  logged cpack cpack --config "$build/CPackConfig.cmake" -B "$work"
  set -- "$work"/TqProxy-"$version"-"$os"*.*
  [ -f "$1" ] || fail "no TqProxy-$version-$os archive in $work"
  top=$(basename "$1" | sed 's/\.\(zip\|tar\.gz\)$//')
  mkdir "$work/x"
  (cd "$work/x" && cmake -E tar xf "$1")
  [ "$(ls "$work/x")" = "$top" ] || fail "archive top level: $(ls "$work/x")"
  check_tree "$work/x/$top" archive
  echo "$(basename "$1"): the package under $top/, its library's exports as expected"
  exit 0
fi

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" --component TqProxy >/dev/null
check_tree "$prefix" installed
consumers=$work/consumer/consumer$exe
if [ "$os" = win64 ]; then
  # The MinGW import library is made from the DLL's export table, checked
  # above, and the consumer links with it; the MSVC one is made apart.
  names=$(printf '%s\n' TQ_Proxy_Init TQ_Proxy_Send TQ_Proxy_SetLog TQ_Proxy_UnInit)
  readobj=$(command -v llvm-readobj || command -v llvm-readobj-14) || fail "llvm-readobj missing"
  msvc=$("$readobj" "$prefix/lib/TqProxy.lib")
  # TqProxy.lib: four short imports by name, x86-64, from TqProxy.dll alone.
  [ "$(echo "$msvc" | sed -n 's/^Symbol: \(TQ_\)/\1/p' | LC_ALL=C sort)" = "$names" ] &&
    [ "$(echo "$msvc" | grep -c -x -e 'Format: COFF-import-file' -e 'Name type: name')" = 8 ] &&
    echo "$msvc" | grep -q '^Arch: x86_64$' && ! echo "$msvc" | sed -n 's|^File: \(.*/\)*||p' |
    grep -qv -x -e 'TqProxy\.dll' -e 'TqProxy\.lib(TqProxy\.dll)' || fail "TqProxy.lib: $msvc"
  # The toolchain searches packages only below its root or the staging
  # prefix, so the install is named as both.
  set -- --toolchain "$src/cmake/mingw64-toolchain.cmake" -DCMAKE_STAGING_PREFIX="$prefix"
  # The installed DLL on the search path, not copied next to the exe.
  export WINEPATH="Z:$(echo "$prefix/bin" | tr / '\134')"
else
  set --
  export LD_LIBRARY_PATH="$prefix/lib"
fi

# A host project of its own, finding the package by CMake; the version
# must be the header's.
logged configure cmake -S "$src/tests/package/consumer" -B "$work/consumer" -G Ninja \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$prefix" "$@"
grep -q "TqProxy $version from $prefix/lib/cmake/TqProxy" "$work/configure.log" ||
  fail "consumer found another package: $(grep 'TqProxy' "$work/configure.log")"
logged build cmake --build "$work/consumer"

if [ "$os" = linux ]; then
  # The same source by pkg-config and the compiler alone, as a Makefile would.
  export PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig"
  [ "$(pkg-config --modversion tqproxy)" = "$version" ] || fail "pkg-config version"
  # shellcheck disable=SC2046  # the flags are meant to split
  logged build-pc c++ -std=c++17 $(pkg-config --cflags tqproxy) "$src/tests/package/consumer/consumer.cpp" \
    -o "$work/consumer-pc" $(pkg-config --libs tqproxy)
  consumers="$consumers $work/consumer-pc"
fi
# Each finds the installed library on the search path.
for c in $consumers; do
  logged run "$run" "$c"
  grep -q "^consumer: TqProxy $version received" "$work/run.log" || fail "$c: $(cat "$work/run.log")"
done
echo "installed package: files, links, import libraries and version as expected; consumers passed"
