#!/bin/sh
# Checks that the C and C++ sources follow .clang-format; exit status 1
# lists the files that do not (fix with: clang-format -i FILE), 77 when
# clang-format is not installed.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
format=$(command -v clang-format || command -v clang-format-14) || {
  echo "SKIP: clang-format is not installed (apt-get install clang-format)"
  exit 77
}
dirs=$(for d in include src tests examples bench; do if [ -d "$d" ]; then echo "$d"; fi; done)
# shellcheck disable=SC2086 # the folder names have no blanks
files=$(find $dirs -type f \( -name '*.c' -o -name '*.cc' -o -name '*.cpp' -o -name '*.h' \
  -o -name '*.hpp' \) | LC_ALL=C sort)
bad=""
for f in $files; do
  "$format" --dry-run --Werror "$f" >/dev/null 2>&1 || bad="$bad $f"
done
if [ -n "$bad" ]; then
  echo "not formatted as .clang-format says ($("$format" --version)):"
  for f in $bad; do echo "  $f"; done
  exit 1
fi
echo "$(echo "$files" | wc -l) files formatted as .clang-format says"
