#!/usr/bin/env bash
# Test job: installs what is missing, builds, runs every test (with the
# Windows programs' checks, scripts/windows.sh and scripts/installer.sh).
#   ./test.sh [ctest arguments...]
set -euo pipefail
top=$(cd "$(dirname "$0")" && pwd)
"$top/scripts/deps.sh"
"$top/scripts/build.sh" build
# The Windows programs (cross builds, PE checks, Wine runs) and the installer
# helper library in its package under Wine, unless only some tests were
# asked for.
if [ $# -eq 0 ]; then
  "$top/scripts/windows.sh"
  "$top/scripts/installer.sh"
fi
cd "$top/build"
ctest --output-on-failure -j"$(nproc)" --timeout 1500 "$@"
