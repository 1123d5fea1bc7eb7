#!/bin/sh
# Installs what is missing, builds every target and runs every test: the Linux
# build natively, the x86_64 Windows build under wine64, and the i686 Windows
# build (the release) compiled, then a short run of every fuzz target (clang).
# Ends with CTest's summaries and the fuzz smoke run's count.
#
#   scripts/test.sh            everything
#   scripts/test.sh linux      only the Linux build and tests
#   scripts/test.sh win64      only the Windows build and its tests under wine
#   scripts/test.sh fuzz       only the fuzz smoke run
set -eu
cd "$(dirname "$0")/.."
what=${1:-all}

sh scripts/setup.sh

run_linux() {
  echo "== Linux: build and test"
  cmake --preset linux >/dev/null
  cmake --build --preset linux
  ctest --preset linux
}

run_win64() {
  echo "== Windows x86_64: build, tests under wine64"
  cmake --preset win64 >/dev/null
  cmake --build --preset win64
  status=0
  ctest --preset win64 || status=$?
  # The tests keep their wine server up between programs; stop it and its
  # services now that they are done.
  WINEPREFIX="$PWD/build/win64/wineprefix" wineserver -k 2>/dev/null || true
  return $status
}

run_fuzz_smoke() {
  echo "== Fuzz targets: smoke run"
  sh fuzz/smoke.sh
}

build_win32() {
  echo "== Windows i686 (release): build"
  cmake --preset win32 >/dev/null
  cmake --build --preset win32
}

case "$what" in
  linux) run_linux ;;
  win64) run_win64 ;;
  win32) build_win32 ;;
  fuzz) run_fuzz_smoke ;;
  all) build_win32; run_win64; run_linux; run_fuzz_smoke ;;
  *) echo "usage: scripts/test.sh [all|linux|win64|win32|fuzz]" >&2; exit 2 ;;
esac
