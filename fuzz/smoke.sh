#!/bin/sh
# The fuzz smoke run: builds the fuzz preset, makes the seeds and runs each
# target briefly (PI_FUZZ_SMOKE_SECONDS, default 20) from a fixed seed; fails
# on the first crash, leak or timeout.
set -eu
cd "$(dirname "$0")/.."
seconds=${PI_FUZZ_SMOKE_SECONDS:-20}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target fuzz_pak fuzz_manifest fuzz_inflate fuzz_installer \
  pi_fuzz_seed paktool mkpatch
sh fuzz/make-seeds.sh
for target in pak manifest inflate installer; do
  echo "== fuzz smoke: $target, ${seconds} s"
  log=build/fuzz/smoke-$target.log
  if ! sh fuzz/run.sh "$target" "$seconds" -seed=1 >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    echo "fuzz smoke: $target failed; the input is in build/fuzz/artifacts/$target/" >&2
    exit 1
  fi
  grep -E '^stat::number_of_executed_units' "$log" || true
done
# The plain closing line that CI reads when nothing else follows.
echo "fuzz: 4 passed, 0 failed"
