#!/usr/bin/env bash
# Fuzzes the engine's NTFS record and run-list parsers, the engine's FAT
# read side (chains, directories, long names), then the platform's own NTFS
# reader and FAT driver, for a bounded time:
#   scripts/fuzz.sh   (FUZZ_SECONDS per engine NTFS target, default 60;
#                      FAT_FUZZ_SECONDS for the engine's FAT target, default 30;
#                      PLATFORM_FUZZ_SECONDS per platform target, default 30)
# Configures a clang build with -DNTDEFRAG_FUZZ=ON in build-fuzz, builds the
# fuzz targets, makes the seed corpora from fresh mkntfs and mkfs.fat images,
# and runs each target. Fails on any crash, hang or sanitizer report.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build-fuzz"
seconds=${FUZZ_SECONDS:-60}

CC=clang CXX=clang++ cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNTDEFRAG_FUZZ=ON >/dev/null
cmake --build "$build" --target ntfs_fuzz fat_fuzz platform_fuzz -j"$(nproc)"

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
# The engine's FAT read side: the first 320 KiB (boot sector, FATs, root,
# the first clusters) of mkfs.fat volumes, a FAT16 one of 4 MiB in
# one-sector clusters and a FAT32 one of 270 MiB in 4 KiB clusters with one
# FAT, filled through mtools with directories, long names, a deleted file
# and a file in the hole it left.
fat_seconds=${FAT_FUZZ_SECONDS:-30}
mkdir -p "$work/seeds/fat" "$work/corpus/fat"
printf 'seed file\r\n' >"$work/seed.txt"
head -c 5000 /dev/zero | tr '\0' 'f' >"$work/frag.txt"
for kind in "16 -s 1 SIZE 4096" "32 -s 8 -f 1 SIZE 276480"; do
  seed="$work/seed-fat.img"
  rm -f "$seed"
  mkfs.fat -C -F ${kind% SIZE *} "$seed" ${kind#* SIZE } >/dev/null
  export MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null LC_ALL=C.UTF-8
  mmd -i "$seed" ::/DIR "::/A long directory name" "::/A long directory name/Sub"
  mcopy -i "$seed" "$work/seed.txt" ::/DIR/SEED.TXT
  mcopy -i "$seed" "$work/seed.txt" "::/A long directory name/Sub/Übergröße of a file.txt"
  mcopy -i "$seed" "$work/seed.txt" ::/GONE.TXT
  mcopy -i "$seed" "$work/frag.txt" ::/FRAG.TXT
  mdel -i "$seed" ::/GONE.TXT
  mcopy -i "$seed" "$work/frag.txt" "::/DIR/Grown later.dat"
  head -c 327680 "$seed" >"$work/seeds/fat/fat${kind%% *}.img"
  unset MTOOLS_SKIP_CHECK MTOOLSRC LC_ALL
done
echo "fuzz_fat_read: ${fat_seconds}s from $(ls "$work/seeds/fat" | wc -l) seeds"
if ! ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$build/bin/fuzz_fat_read" -max_total_time="$fat_seconds" -timeout=10 -rss_limit_mb=2048 -max_len=327680 \
    -print_final_stats=1 -artifact_prefix="$work/artifacts/fat-" "$work/corpus/fat" "$work/seeds/fat" \
    2>"$work/fat.log"; then
  echo "fuzz_fat_read FAILED; its log:"
  tail -60 "$work/fat.log"
  status=1
else
  grep -E "stat::number_of_executed_units|stat::new_units_added" "$work/fat.log" || true
fi

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
