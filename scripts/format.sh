#!/usr/bin/env bash
# Applies the tree's one style (.clang-format) to the C++ sources named, or,
# with --check, lists the sources that differ from it and fails.
#   scripts/format.sh [--check] [FILE...]     (default: every tracked source)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
check=0
if [ "${1:-}" = "--check" ]; then
  check=1
  shift
fi
if [ $# -eq 0 ]; then
  mapfile -t files < <(git ls-files '*.cpp' '*.h')
else
  files=("$@")
fi
if [ $check -eq 0 ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
bad=0
for f in "${files[@]}"; do
  if ! clang-format "$f" | cmp -s - "$f"; then
    echo "not in the tree's style: $f"
    bad=1
  fi
  if grep -qw NULL "$f"; then
    echo "NULL where the tree writes nullptr: $f"
    bad=1
  fi
done
exit $bad
