#!/bin/sh
# Runs a Windows program under wine64 in the private prefix of the build tree
# the program belongs to, with a GBK locale so that the ANSI code page is 936.
# The prefix is made on first use; a lock keeps parallel tests from racing.
set -eu
prog="$1"
shift

find_build_root() {
  d=$(cd "$(dirname "$1")" && pwd)
  while [ "$d" != "/" ]; do
    if [ -f "$d/CMakeCache.txt" ]; then echo "$d"; return; fi
    d=$(dirname "$d")
  done
  pwd
}

root=${PI_WINE_BUILD_ROOT:-$(find_build_root "$prog")}
export WINEPREFIX="${WINEPREFIX:-$root/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
export LANG=zh_CN.GBK LC_ALL=zh_CN.GBK
WINE=$(command -v wine64 || { [ -x /usr/lib/wine/wine64 ] && echo /usr/lib/wine/wine64; } || command -v wine)

if [ ! -f "$WINEPREFIX/.ready" ]; then
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.ready" ]; then
      "$WINE" wineboot -i >/dev/null 2>&1 || true
      wineserver -w 2>/dev/null || true
      touch "$WINEPREFIX/.ready"
    fi
  ) 9>"$WINEPREFIX.lock"
fi
exec "$WINE" "$prog" "$@"
