#!/bin/sh
# The installed package and the release archive of libTqProxy.so, as a Linux
# host receives them.
#   package_test_linux.sh consumer <source-dir> <build-dir>: install into a
#     temporary prefix, check its files, build tests/package/consumer against it
#     with find_package and with pkg-config, and run both.
#   package_test_linux.sh archive <source-dir> <build-dir>: make the .tar.gz,
#     check its exact contents, run the archived library.
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

# Every file and link of the package, relative to its root; nothing more.
config=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt" |
  tr '[:upper:]' '[:lower:]')
version=$(sed -n 's/^#define TQPROXY_VERSION_\(MAJOR\|MINOR\|PATCH\) //p' \
  "$src/include/TqProxy.h" | paste -sd.)
major=${version%%.*}
expected_files="CHANGELOG.md
LICENSE
README.md
include/TqProxy.h
lib/cmake/TqProxy/TqProxyConfig.cmake
lib/cmake/TqProxy/TqProxyConfigVersion.cmake
lib/cmake/TqProxy/TqProxyTargets-${config:-noconfig}.cmake
lib/cmake/TqProxy/TqProxyTargets.cmake
lib/libTqProxy.so.$version
lib/pkgconfig/tqproxy.pc
share/doc/TqProxy/host-guide.md"
expected_links="lib/libTqProxy.so -> libTqProxy.so.$major
lib/libTqProxy.so.$major -> libTqProxy.so.$version"
check_tree() {  # check_tree <root> <what>
  files=$(cd "$1" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
  [ "$files" = "$(echo "$expected_files" | LC_ALL=C sort)" ] || fail "$2 files:
$files"
  links=$(cd "$1" && find . -type l | sed 's|^\./||' | LC_ALL=C sort |
    while read -r l; do echo "$l -> $(readlink "$1/$l")"; done)
  [ "$links" = "$expected_links" ] || fail "$2 links:
$links"
  sh "$src/tests/check_so_exports.sh" "$1/lib/libTqProxy.so.$major" >"$work/exports.log" ||
    fail "$2 library: $(cat "$work/exports.log")"
}

if [ "$mode" = archive ]; then
  (cd "$work" && cpack --config "$build/CPackConfig.cmake" -B "$work" >cpack.log) ||
    fail "cpack: $(cat "$work/cpack.log")"
  set -- "$work"/TqProxy-*-linux-*.tar.gz
  [ -f "$1" ] || fail "no TqProxy-<version>-linux-<arch>.tar.gz in $work"
  top=$(basename "$1" .tar.gz)
  mkdir "$work/x"
  tar -xzf "$1" -C "$work/x"
  [ "$(ls "$work/x")" = "$top" ] || fail "archive top level: $(ls "$work/x")"
  check_tree "$work/x/$top" archive
  # Stripped for release, and still works: the run-time loading example, given its path.
  "$build/bin/tqproxy_dynamic_host" "$work/x/$top/lib/libTqProxy.so.$major" >"$work/run.log" 2>&1 ||
    fail "the archived library: $(cat "$work/run.log")"
  echo "$(basename "$1"): the package files and links, under $top/; its library runs"
  exit 0
fi

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" --component TqProxy >/dev/null
check_tree "$prefix" installed

# A host project of its own, finding the package by CMake.
cmake -S "$src/tests/package/consumer" -B "$work/consumer" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$prefix" >"$work/configure.log" 2>&1 ||
  fail "consumer configure: $(cat "$work/configure.log")"
grep -q "TqProxy $version from $prefix/lib/cmake/TqProxy" "$work/configure.log" ||
  fail "consumer found another package: $(grep 'TqProxy' "$work/configure.log")"
cmake --build "$work/consumer" >"$work/build.log" 2>&1 ||
  fail "consumer build: $(cat "$work/build.log")"

# The same source by pkg-config and the compiler alone, as a Makefile would.
export PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig"
[ "$(pkg-config --modversion tqproxy)" = "$version" ] || fail "pkg-config version"
# shellcheck disable=SC2046  # the flags are meant to split
c++ -std=c++17 $(pkg-config --cflags tqproxy) "$src/tests/package/consumer/consumer.cpp" \
  -o "$work/consumer-pc" $(pkg-config --libs tqproxy) >"$work/build-pc.log" 2>&1 ||
  fail "pkg-config build: $(cat "$work/build-pc.log")"

# Both find the installed library through its soname on the search path.
export LD_LIBRARY_PATH="$prefix/lib"
for exe in "$work/consumer/consumer" "$work/consumer-pc"; do
  ldd "$exe" | grep -q "libTqProxy.so.$major => $prefix/lib/libTqProxy.so.$major " ||
    fail "$exe loads: $(ldd "$exe" | grep TqProxy)"
  "$exe" >"$work/run.log" 2>&1 || fail "$exe: $(cat "$work/run.log")"
  grep -q "^consumer: TqProxy $version received" "$work/run.log" ||
    fail "$exe: $(cat "$work/run.log")"
done
echo "installed package: files, links and version as expected; both consumers passed"
