#!/usr/bin/env bash
# Fuzzes the NTFS record and run-list parsers for a bounded time:
#   scripts/fuzz.sh            (FUZZ_SECONDS per target, default 60)
# Configures a clang build with -DNTDEFRAG_FUZZ=ON in build-fuzz, builds the
# fuzz targets, makes the seed corpus from fresh mkntfs images, and runs each
# target. Fails on any crash, hang or sanitizer report.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build-fuzz"
seconds=${FUZZ_SECONDS:-60}

CC=clang CXX=clang++ cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNTDEFRAG_FUZZ=ON >/dev/null
cmake --build "$build" --target ntfs_fuzz -j2

work="$build/fuzz-work"
rm -rf "$work"
mkdir -p "$work/seeds/record" "$work/seeds/mft" "$work/corpus/record" "$work/corpus/mft" "$work/artifacts"
"$build/bin/ntfs_fuzz_seeds" "$work" "$work/seeds/record" "$work/seeds/mft"

status=0
for target in record mft; do
  echo "fuzz_ntfs_$target: ${seconds}s from $(ls "$work/seeds/$target" | wc -l) seeds"
  if ! ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      "$build/bin/fuzz_ntfs_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$work/artifacts/$target-" \
      "$work/corpus/$target" "$work/seeds/$target" 2>"$work/$target.log"; then
    echo "fuzz_ntfs_$target FAILED; its log:"
    tail -60 "$work/$target.log"
    status=1
  else
    grep -E "stat::number_of_executed_units|stat::new_units_added" "$work/$target.log" || true
  fi
done
exit $status
