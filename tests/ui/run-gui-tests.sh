#!/bin/sh
# Runs the installer's window tests under wine on an X display:
#
#   run-gui-tests.sh <gui test program> [gtest arguments]
#
# A usable $DISPLAY is taken as it is; otherwise a private Xvfb is started on a
# free display and stopped afterwards. Without wine the test is skipped (exit
# 77), as it is by wine-run.sh where a 32-bit program finds no 32-bit wine;
# without any display the test program runs and skips its cases. The tests
# get a wine prefix of their own, so that the prefix's desktop process
# belongs to this display and not to a test that ran without one.
#
# PI_UI_SCREENSHOTS=<dir> saves screenshots of the windows there as PNG files.
set -u
here=$(cd "$(dirname "$0")" && pwd)
wine_run="$here/../../scripts/wine-run.sh"
program=$1
shift

if ! command -v wine64 >/dev/null 2>&1 && [ ! -x /usr/lib/wine/wine64 ] &&
  ! command -v wine >/dev/null 2>&1; then
  echo "SKIPPED: wine is not installed, the window tests cannot run"
  exit 77
fi

build_root=$(cd "$(dirname "$program")" && while [ ! -f CMakeCache.txt ] && [ "$PWD" != / ]; do cd ..; done && pwd)
export WINEPREFIX="$build_root/wineprefix-gui"
work=$(mktemp -d)
xvfb_pid=""
shots_pid=""

cleanup() {
  touch "$work/stop"
  WINEPREFIX="$WINEPREFIX" wineserver -k 2>/dev/null || true
  [ -n "$shots_pid" ] && wait "$shots_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

display_usable() {
  [ -n "${DISPLAY:-}" ] || return 1
  if command -v xdpyinfo >/dev/null 2>&1; then
    xdpyinfo >/dev/null 2>&1
  elif command -v xdotool >/dev/null 2>&1; then
    xdotool getdisplaygeometry >/dev/null 2>&1
  else
    xwd -root -silent >/dev/null 2>&1
  fi
}

if ! display_usable; then
  unset DISPLAY
  if command -v Xvfb >/dev/null 2>&1; then
    # -displayfd: Xvfb picks a free display and tells which.
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
    xvfb_pid=$!
    i=0
    while [ ! -s "$work/display" ] && [ $i -lt 200 ] && kill -0 "$xvfb_pid" 2>/dev/null; do
      sleep 0.1
      i=$((i + 1))
    done
    if [ -s "$work/display" ]; then
      export DISPLAY=":$(head -n1 "$work/display")"
    else
      echo "Xvfb did not start:"; cat "$work/xvfb.log"
      xvfb_pid=""
    fi
  fi
fi
if [ -z "${DISPLAY:-}" ]; then
  export PI_UI_NO_DISPLAY="no X display and no Xvfb: the window tests were skipped"
fi

# Screenshots are taken from the X side, of the rectangle the test names.
if [ -n "${PI_UI_SCREENSHOTS:-}" ] && [ -n "${DISPLAY:-}" ]; then
  mkdir -p "$PI_UI_SCREENSHOTS"
  export PI_UI_SCREENSHOTS=$(cd "$PI_UI_SCREENSHOTS" && pwd)
  (
    while [ ! -f "$work/stop" ]; do
      for request in "$PI_UI_SCREENSHOTS"/*.request; do
        [ -f "$request" ] || continue
        name=${request%.request}
        import -display "$DISPLAY" -window root -crop "$(head -n1 "$request")" +repage "$name.png"
        rm -f "$request"
        touch "$name.done"
      done
      sleep 0.1
    done
  ) &
  shots_pid=$!
else
  unset PI_UI_SCREENSHOTS
fi

sh "$wine_run" "$program" "$@"
rc=$?
if [ $rc -eq 0 ] && [ -n "${PI_UI_NO_DISPLAY:-}" ]; then
  echo "SKIPPED: $PI_UI_NO_DISPLAY"
  rc=77
fi
exit $rc
