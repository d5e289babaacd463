#!/usr/bin/env bash
# Main job: builds everything and runs the demo machine.
#   ./run.sh [MACHINE_DIR]     (default: ./demo-machine)
set -euo pipefail
top=$(cd "$(dirname "$0")" && pwd)
"$top/scripts/deps.sh"
"$top/scripts/build.sh" build
machine=${1:-$top/demo-machine}
exec "$top/build/bin/ntmachine" demo "$machine" --run
