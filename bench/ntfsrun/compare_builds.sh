#!/usr/bin/env bash
# Runs one scheduled boot-time run with two builds of the programs on the same
# kit image and compares them: the run's screen and the final image must be
# byte for byte the same, and the wall time of each boot is printed with
# their ratio.
#
#   bench/ntfsrun/compare_builds.sh OLD_BUILD NEW_BUILD [options] [-- KEYWORDS...]
#     --size BYTES      image size (default 1G; K/M/G suffixes)
#     --cluster BYTES   cluster size (default 4096)
#     --profile P       imgkit profile: basic, full or bench:N (default bench:4000)
#     --seed N          fill seed (default 1)
#     --set KEY=VALUE   an imgkit profile key (repeatable)
#     --pagefile "NAME MIN MAX"  register a paging file C:\NAME (megabytes)
#     --dir DIR         work folder (default: a new folder under ${TMPDIR:-/tmp}); removed
#                       afterwards unless --keep
#     --keep            keep the work folder
#     --repeat N        boot each build N times, alternating old and new (default 1);
#                       every boot's screen is compared, the first boot's image is
#                       kept, and the ratio is that of the median times (the ratio of
#                       the fastest boots is printed too)
#     --warm            before each boot, bring the whole image into memory (read it
#                       once; on tmpfs, copy it without holes), so that the boot
#                       writes into pages the machine already holds (untimed)
#   KEYWORDS default to "DIRS=NONE FILES=FULL".
#
# OLD_BUILD and NEW_BUILD are build folders (their bin/ holds ntmachine,
# imgkit and the programs). The image is made and filled once with the new
# build's imgkit and the run scheduled once (the trigger file and the
# registry entry), then the machine folder is copied for each build and its
# system32 links pointed at that build's programs, so that both runs start
# from the same bytes; the clock stands still during the runs (libfaketime).
# A --dir on tmpfs (/dev/shm) keeps the host disk's write-back out of the
# timings; --warm keeps out the cost of the first touch of every page the
# boot writes (on a virtual machine whose host backs memory lazily, that
# cost can exceed everything else the boot does). Exit status 0 when screens
# and images are the same, 1 when they differ, 2 on a usage or set-up error.
set -euo pipefail

usage() { sed -n '2,36p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
[ $# -ge 2 ] || usage
old=$(cd "$1" && pwd) new=$(cd "$2" && pwd)
shift 2
size=1G cluster=4096 profile=bench:4000 seed=1 dir="" keep=0 pagefile="" repeat=1 warm=0
sets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --size) size=$2; shift 2 ;;
    --cluster) cluster=$2; shift 2 ;;
    --profile) profile=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    --set) sets+=(--set "$2"); shift 2 ;;
    --pagefile) pagefile=$2; shift 2 ;;
    --dir) dir=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    --repeat) repeat=$2; shift 2 ;;
    --warm) warm=1; shift ;;
    --) shift; break ;;
    *) usage ;;
  esac
done
[[ "$repeat" =~ ^[1-9][0-9]*$ ]] || { echo "--repeat wants a positive count, not '$repeat'" >&2; exit 2; }
keywords=("$@")
[ ${#keywords[@]} -gt 0 ] || keywords=(DIRS=NONE FILES=FULL)
for b in "$old" "$new"; do
  for t in ntmachine bootntfs bootfat; do
    [ -x "$b/bin/$t" ] || { echo "no $b/bin/$t" >&2; exit 2; }
  done
done
[ -x "$new/bin/imgkit" ] || { echo "no $new/bin/imgkit" >&2; exit 2; }
faketime=$(ls /usr/lib/*/faketime/libfaketime.so.1 2>/dev/null | head -1)
[ -n "$faketime" ] || { echo "needs libfaketime (apt-get install faketime)" >&2; exit 2; }

if [ -z "$dir" ]; then dir=$(mktemp -d "${TMPDIR:-/tmp}/compare.XXXXXX"); else mkdir -p "$dir"; fi
cleanup() { [ "$keep" = 1 ] || rm -rf "$dir"; }
trap cleanup EXIT

seconds() { date +%s.%N; }
t0=$(seconds)
"$new/bin/ntmachine" create "$dir/base" >/dev/null
"$new/bin/imgkit" make-ntfs "$dir/base/c.img" "$size" "$cluster" >/dev/null
"$new/bin/imgkit" fill "$dir/base/c.img" "$dir/manifest.txt" --seed "$seed" --profile "$profile" "${sets[@]}" >/dev/null
"$new/bin/ntmachine" attach "$dir/base" C: image "$dir/base/c.img" >/dev/null
# shellcheck disable=SC2086
[ -z "$pagefile" ] || "$new/bin/ntmachine" pagefile "$dir/base" C: $pagefile >/dev/null
"$new/bin/ntmachine" schedule "$dir/base" C: "${keywords[@]}" >/dev/null
t1=$(seconds)
printf 'image: %s, %s-byte clusters, profile %s, seed %s, made and filled in %.1f s; run: %s\n' "$size" "$cluster" \
  "$profile" "$seed" "$(echo "$t1 - $t0" | bc)" "${keywords[*]}"

declare -A times
screens_same=1
boot() { # boot WHICH ROUND
  local which=$1 round=$2 build=$old start end wall
  [ "$which" = new ] && build=$new
  rm -rf "$dir/run"
  # Both runs in the same folder: the screen names the machine.
  if [ "$warm" = 1 ] && [ "$(stat -f -c %T "$dir")" = tmpfs ]; then
    # Reading a hole on tmpfs maps no page: the copy fills the holes instead.
    cp -a --sparse=never "$dir/base" "$dir/run"
  else
    cp -a --sparse=always "$dir/base" "$dir/run"
  fi
  sed -i "s|^C: image .*|C: image $dir/run/c.img|" "$dir/run/drives"
  ln -sf "$build/bin/bootntfs" "$dir/run/system32/dozuzoro"
  ln -sf "$build/bin/bootfat" "$dir/run/system32/zirizud"
  sync
  [ "$warm" = 0 ] || cat "$dir/run/c.img" >/dev/null
  start=$(seconds)
  # The file system stamps the root directory with the time when the run
  # deletes its trigger file: the clock stands still for both runs.
  FAKETIME="2024-01-01 00:00:00" FAKETIME_DONT_FAKE_MONOTONIC=1 LD_PRELOAD="$faketime" NT_TIME_SCALE=0 \
    "$build/bin/ntmachine" boot "$dir/run" --fast >"$dir/run.screen" 2>"$dir/run.err" || true
  end=$(seconds)
  wall=$(echo "$end - $start" | bc)
  times[$which]="${times[$which]:-} $wall"
  if [ "$round" = 1 ]; then
    mv "$dir/run" "$dir/$which"
    # A kept image copied without holes gets them back (the comparison reads
    # contents), so that two of them and the next boot's fit on tmpfs.
    [ "$warm" = 0 ] || fallocate --dig-holes "$dir/$which/c.img"
    mv "$dir/run.screen" "$dir/$which.screen"
    mv "$dir/run.err" "$dir/$which.err"
  else
    cmp -s "$dir/run.screen" "$dir/old.screen" || { screens_same=0; echo "boot $round of the $which build: screen DIFFERS"; }
    rm -rf "$dir/run"
  fi
  printf '%s build: boot %.2f s (%s)\n' "$which" "$wall" "$build"
}
sorted() { tr ' ' '\n' | grep . | sort -g; }
median() { sorted | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
for round in $(seq "$repeat"); do
  boot old "$round"
  boot new "$round"
done
m_old=$(echo "${times[old]}" | median) m_new=$(echo "${times[new]}" | median)
if [ "$repeat" -gt 1 ]; then
  f_old=$(echo "${times[old]}" | sorted | head -1) f_new=$(echo "${times[new]}" | sorted | head -1)
  printf 'fastest of %s boots: old %.2f s, new %.2f s, ratio %.2f\n' "$repeat" "$f_old" "$f_new" \
    "$(echo "$f_old / $f_new" | bc -l)"
  printf 'median of %s boots: old %.2f s, new %.2f s\n' "$repeat" "$m_old" "$m_new"
fi
printf 'ratio old / new: %.2f\n' "$(echo "$m_old / $m_new" | bc -l)"

same=$screens_same
if cmp -s "$dir/old.screen" "$dir/new.screen"; then
  echo "screens: the same ($(wc -l <"$dir/new.screen") lines)"
else
  same=0
  echo "screens: DIFFER"
  diff "$dir/old.screen" "$dir/new.screen" | head -20 || true
fi
if cmp -s "$dir/old/c.img" "$dir/new/c.img"; then
  echo "images: the same"
else
  same=0
  echo "images: DIFFER ($(cmp -l "$dir/old/c.img" "$dir/new/c.img" | wc -l) bytes)"
fi
[ "$same" = 1 ]
