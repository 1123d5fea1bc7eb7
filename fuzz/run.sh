#!/bin/sh
# Runs one fuzz target for SECONDS (default 60) with its seeds, keeping what
# it finds in build/fuzz/corpus/TARGET and any crashing input in
# build/fuzz/artifacts/TARGET/; inputs kept in fuzz/regressions/TARGET are
# always run too. Further arguments go to libFuzzer, e.g.
#   fuzz/run.sh pak 3600
#   fuzz/run.sh installer 0 -runs=10000000       (0: no time limit)
#   fuzz/run.sh manifest 0 build/fuzz/artifacts/manifest/crash-...   (replay)
# Targets: pak, manifest, inflate, installer. Needs the fuzz build
# (cmake --preset fuzz && cmake --build --preset fuzz). Exit status is
# libFuzzer's: non-zero when an input crashed, leaked or timed out.
set -eu
cd "$(dirname "$0")/.."
[ $# -ge 1 ] || { echo "usage: fuzz/run.sh TARGET [SECONDS] [LIBFUZZER-ARGS...]" >&2; exit 2; }
target=$1
seconds=${2:-60}
shift
[ $# -ge 1 ] && shift

build=${PI_FUZZ_BUILD:-build/fuzz}
binary=$build/fuzz/fuzz_$target
case "$target" in
  pak) max_len=8192 ;;
  manifest) max_len=16384 ;;
  inflate) max_len=2048 ;;
  # Each run writes the installer, two archives and the game's files: small
  # inputs keep it fast; the seeds' packages still fit.
  installer) max_len=12288 ;;
  *) echo "run.sh: unknown target $target (pak, manifest, inflate, installer)" >&2; exit 2 ;;
esac
[ -x "$binary" ] || { echo "run.sh: $binary is missing: build the fuzz preset first" >&2; exit 2; }
[ -d "$build/seeds/$target" ] || sh fuzz/make-seeds.sh

corpus=$build/corpus/$target
artifacts=$build/artifacts/$target
mkdir -p "$corpus" "$artifacts"
# Scratch files live on tmpfs where there is one, and go with the run.
scratch=$(mktemp -d "$( [ -w /dev/shm ] && echo /dev/shm || echo /tmp )/pi-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
export PI_FUZZ_SCRATCH="$scratch"

set -- -max_len=$max_len -timeout=30 -print_final_stats=1 -keep_seed=1 \
  -artifact_prefix="$artifacts/" "$@"
[ -f "fuzz/$target.dict" ] && set -- -dict="fuzz/$target.dict" "$@"
[ "$seconds" -gt 0 ] && set -- -max_total_time="$seconds" "$@"
# Replaying given files: no corpus directories then.
for arg in "$@"; do
  case "$arg" in -*) ;; *) exec_replay=1 ;; esac
done
[ "${exec_replay:-0}" = 1 ] || set -- "$@" "$corpus" "$build/seeds/$target"
# Inputs that once failed run first, in every run that is not a replay.
[ "${exec_replay:-0}" = 1 ] || [ ! -d "fuzz/regressions/$target" ] ||
  set -- "$@" "fuzz/regressions/$target"
# The fuzzer runs as a child so that the scratch directory goes with it;
# stopping this script stops the fuzzer first.
"$binary" "$@" &
child=$!
trap 'kill $child 2>/dev/null; wait $child; exit 143' INT TERM
status=0
wait $child || status=$?
exit $status
