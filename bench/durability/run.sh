#!/bin/sh
# What durability costs: a patch of many small loose files (default 2000 of
# 1-20 KiB) applied to an empty game directory by the installer as built,
# where every file is flushed before it counts as done, and by the same
# installer with fsync made a no-op (nosync.c, preloaded). Prints the median
# wall time of each over RUNS runs, and the difference per file.
#
#   bench/durability/run.sh [BUILD_DIR] [RUNS] [FILES]
#
# BUILD_DIR must hold src/cli/orv and tools/mkpatch/mkpatch; without it a
# release build is made in build/bench-durability. Scratch files go under
# $TMPDIR (default /tmp): it should be on a real disk, since on a memory file
# system a flush costs nothing.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-}
runs=${2:-5}
files=${3:-2000}
if [ -z "$build" ]; then
  build=$root/build/bench-durability
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPI_BUILD_TESTS=OFF >/dev/null
  ninja -C "$build" -j2 orv mkpatch >/dev/null
fi
orv=$build/src/cli/orv
mkpatch=$build/tools/mkpatch/mkpatch

work=$(mktemp -d "${TMPDIR:-/tmp}/durability.XXXXXX")
trap 'rm -rf "$work"' EXIT
cc -shared -fPIC -O2 -o "$work/nosync.so" "$root/bench/durability/nosync.c"

# The same files every time: sizes from a fixed seed, bytes that do not compress.
mkdir -p "$work/files"
awk -v n="$files" 'BEGIN { srand(7); for (i = 0; i < n; i++) print i, 1024 + int(rand() * 19457) }' |
  while read -r i size; do
    mkdir -p "$work/files/d$((i % 40))"
    head -c "$size" /dev/urandom >"$work/files/d$((i % 40))/f$i.bin"
  done
bytes=$(du -sb "$work/files" | cut -f1)
"$mkpatch" build --stub "$orv" -o "$work/setup" --files "$work/files" --level 1 >/dev/null

# Milliseconds of one run on a fresh game directory; $1 is the preload.
run_once() {
  rm -rf "$work/game"
  mkdir "$work/game"
  sync
  start=$(date +%s%N)
  LD_PRELOAD=$1 "$work/setup" "$work/game" >/dev/null
  end=$(date +%s%N)
  echo $(((end - start) / 1000000))
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

with=$(for r in $(seq "$runs"); do run_once ""; done | median)
without=$(for r in $(seq "$runs"); do run_once "$work/nosync.so"; done | median)
echo "patch: $files loose files, $bytes bytes; median of $runs runs"
echo "with flushes:    $with ms"
echo "without flushes: $without ms"
awk -v a="$with" -v b="$without" -v n="$files" \
  'BEGIN { printf "cost:            %d ms in all, %.2f ms a file\n", a - b, (a - b) / n }'
