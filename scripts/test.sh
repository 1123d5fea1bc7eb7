#!/bin/sh
# Installs what is missing, builds every target and runs every test: the i686
# Windows build (the release) under 32-bit wine, the x86_64 Windows build
# under wine64, the Linux build natively, then a short run of every fuzz
# target (clang). Each Windows suite ends with a summary line that names it;
# a failing suite does not keep the others from running.
#
#   scripts/test.sh            everything
#   scripts/test.sh win32      only the i686 build and its tests under 32-bit wine
#   scripts/test.sh win64      only the x86_64 build and its tests under wine64
#   scripts/test.sh linux      only the Linux build and tests
#   scripts/test.sh fuzz       only the fuzz smoke run
set -eu
cd "$(dirname "$0")/.."
what=${1:-all}

sh scripts/setup.sh

# Where 32-bit wine cannot run, says why in one line and returns 1: it must
# be installed, the kernel must run 32-bit programs, and wine must start one
# of the build's programs (which also makes the prefix).
can_run_win32() {
  if ! reason=$(sh scripts/wine32-check.sh); then
    echo "== Windows i686: no tests under 32-bit wine: $reason"
    return 1
  fi
  if ! out=$(timeout 300 sh scripts/wine-run.sh build/win32/tests/runtime/runtime_tests.exe \
    --gtest_list_tests 2>&1); then
    echo "== Windows i686: no tests under 32-bit wine: it does not start a program: $(printf '%s\n' "$out" | head -n1)"
    return 1
  fi
}

# run_windows PRESET NAME WINE: builds the preset and runs its tests under
# WINE, between a heading and a summary line that name the build. Without
# 32-bit wine the i686 build runs only its checks on this machine.
run_windows() {
  preset=$1 name=$2 wine=$3
  echo "== $name: build"
  cmake --preset "$preset" >/dev/null || return 1
  cmake --build --preset "$preset" || return 1
  what_runs="tests under $wine"
  only="" note=""
  if [ "$preset" = win32 ] && ! can_run_win32; then
    what_runs="checks of the built programs on this machine"
    only="-L host" note=" (only the checks on this machine)"
  fi
  echo "== $name: $what_runs"
  log="build/$preset/test-run.log"
  # shellcheck disable=SC2086
  { ctest --preset "$preset" $only 2>&1; echo $? >"$log.rc"; } | tee "$log"
  echo "== ${name%% (*} summary: $(grep -E 'tests passed|No tests were found' "$log" | tail -n1)$note"
  # The tests keep their wine server up between programs; stop it and its
  # services now that they are done.
  WINEPREFIX="$PWD/build/$preset/wineprefix" wineserver -k 2>/dev/null || true
  return "$(cat "$log.rc")"
}

run_linux() {
  echo "== Linux: build and test"
  cmake --preset linux >/dev/null || return 1
  cmake --build --preset linux || return 1
  ctest --preset linux
}

run_fuzz_smoke() {
  echo "== Fuzz targets: smoke run"
  sh fuzz/smoke.sh
}

# run LABEL COMMAND...: runs a suite and notes its failure.
failed=""
run() {
  label=$1
  shift
  "$@" || failed="$failed $label;"
}

run_i686() { run "Windows i686" run_windows win32 "Windows i686 (release)" "32-bit wine"; }
run_x86_64() { run "Windows x86_64" run_windows win64 "Windows x86_64" wine64; }

case "$what" in
  win32) run_i686 ;;
  win64) run_x86_64 ;;
  linux) run Linux run_linux ;;
  fuzz) run "fuzz smoke run" run_fuzz_smoke ;;
  all) run_i686; run_x86_64; run Linux run_linux; run "fuzz smoke run" run_fuzz_smoke ;;
  *) echo "usage: scripts/test.sh [all|win32|win64|linux|fuzz]" >&2; exit 2 ;;
esac
if [ -n "$failed" ]; then
  echo "== failed:${failed%;}"
  exit 1
fi
