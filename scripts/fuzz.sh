#!/usr/bin/env bash
# Fuzzes the engine's NTFS record and run-list parsers, then the platform's
# own NTFS reader and FAT driver, for a bounded time:
#   scripts/fuzz.sh   (FUZZ_SECONDS per engine target, default 60;
#                      PLATFORM_FUZZ_SECONDS per platform target, default 30)
# Configures a clang build with -DNTDEFRAG_FUZZ=ON in build-fuzz, builds the
# fuzz targets, makes the seed corpora from fresh mkntfs and mkfs.fat images,
# and runs each target. Fails on any crash, hang or sanitizer report.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build-fuzz"
seconds=${FUZZ_SECONDS:-60}

CC=clang CXX=clang++ cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNTDEFRAG_FUZZ=ON >/dev/null
cmake --build "$build" --target ntfs_fuzz platform_fuzz -j"$(nproc)"

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
# The platform's drivers: the NTFS reader lays its input over a volume it
# makes itself (an empty input is the untouched volume); the FAT driver takes
# whole small images, seeded with two FAT12 volumes (1 and 4 sectors per
# cluster) holding a directory, a short and a long file name.
mkdir -p "$work/corpus/platform_ntfs_reader" "$work/corpus/platform_fat" "$work/seeds/platform_fat"
for spc in 1 4; do
  seed="$work/seeds/platform_fat/fat12-s$spc.img"
  mkfs.fat -C -F 12 -s $spc "$seed" 256 >/dev/null
  printf 'seed file\r\n' >"$work/seed.txt"
  mmd -i "$seed" ::/DIR
  mcopy -i "$seed" "$work/seed.txt" ::/DIR/SEED.TXT
  mcopy -i "$seed" "$work/seed.txt" "::/A long file name.txt"
done
run_platform() {
  local target=$1; shift
  echo "fuzz_platform_$target: ${platform_seconds}s"
  if ! ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      "$build/bin/fuzz_platform_$target" -max_total_time="$platform_seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$work/artifacts/platform_$target-" "$@" 2>"$work/platform_$target.log"; then
    echo "fuzz_platform_$target FAILED; its log:"
    tail -60 "$work/platform_$target.log"
    status=1
  else
    grep -E "stat::number_of_executed_units|stat::new_units_added" "$work/platform_$target.log" || true
  fi
}
platform_seconds=${PLATFORM_FUZZ_SECONDS:-30}
run_platform ntfs_reader -max_len=65536 "$work/corpus/platform_ntfs_reader"
run_platform fat -max_len=262144 "$work/corpus/platform_fat" "$work/seeds/platform_fat"
exit $status
