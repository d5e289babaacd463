#!/usr/bin/env bash
# Test job: installs what is missing, builds, runs every test.
#   ./test.sh [ctest arguments...]
set -euo pipefail
top=$(cd "$(dirname "$0")" && pwd)
"$top/scripts/deps.sh"
"$top/scripts/build.sh" build
cd "$top/build"
ctest --output-on-failure -j"$(nproc)" --timeout 1500 "$@"
