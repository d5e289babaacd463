#!/usr/bin/env bash
# Test job: installs what is missing, builds, runs every test (with the
# Windows programs' checks, scripts/windows.sh).
#   ./test.sh [ctest arguments...]
set -euo pipefail
top=$(cd "$(dirname "$0")" && pwd)
"$top/scripts/deps.sh"
"$top/scripts/build.sh" build
# The Windows programs (cross builds, PE checks, Wine runs), unless only some
# tests were asked for.
if [ $# -eq 0 ]; then
  "$top/scripts/windows.sh"
fi
cd "$top/build"
ctest --output-on-failure -j"$(nproc)" --timeout 1500 "$@"
