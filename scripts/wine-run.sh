#!/bin/sh
# Runs a Windows program under wine in the private prefix of the build tree
# the program belongs to, in a Chinese locale so that the ANSI code page is 936:
# a 64-bit program under wine64, a 32-bit one under 32-bit wine. The prefix is
# made on first use; a lock keeps parallel tests from racing. Exits 77 (a
# skipped test) when this machine cannot run 32-bit wine.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
prog="$1"
shift

# The machine field of the PE header: 014c for i386, 8664 for x86-64. The
# header's offset is at 0x3c. The bytes are split into words on purpose.
# shellcheck disable=SC2046
pe_machine() {
  set -- $(od -An -tu1 -j60 -N4 "$1" 2>/dev/null) "$1"
  [ $# -eq 5 ] || return 0
  off=$(($1 + $2 * 256 + $3 * 65536 + $4 * 16777216 + 4))
  set -- $(od -An -tu1 -j"$off" -N2 "$5" 2>/dev/null)
  if [ $# -eq 2 ]; then printf '%04x\n' $(($1 + $2 * 256)); fi
}

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
# The language gives the ANSI code page; the character set is the one of the
# names wine keeps on the Linux file system: UTF-8 holds every Windows name,
# GBK no Hangul or emoji (zh_CN.GBK only where UTF-8 is not installed).
if locale -a 2>/dev/null | grep -qi '^zh_CN\.utf-\?8$'; then
  export LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8
else
  export LANG=zh_CN.GBK LC_ALL=zh_CN.GBK
fi
# The i686 build gets a 32-bit prefix (WINEARCH=win32): what a player on a
# 32-bit Windows has, without the file system and registry redirection that
# a 32-bit program meets in a 64-bit prefix, and without wine64. Such a prefix
# runs no 64-bit program, and the i686 build has none.
if [ "$(pe_machine "$prog")" = 014c ]; then
  if ! WINE=$(sh "$here/wine32-check.sh"); then
    echo "SKIPPED: 32-bit Windows programs cannot run here: $WINE"
    exit 77
  fi
  new_prefix_arch=win32
else
  WINE=$(command -v wine64 || { [ -x /usr/lib/wine/wine64 ] && echo /usr/lib/wine/wine64; } || command -v wine)
  new_prefix_arch=win64
fi

# Chinese text needs a font that has its glyphs: the dialogs' font (宋体,
# SimSun) and the fonts of the system's own windows and message boxes are
# mapped to WenQuanYi Zen Hei (fonts-wqy-zenhei), in its variant made for
# small sizes. regedit reads UTF-16. The caption buttons are drawn with
# Marlett (fonts-wine), which wine looks for among the prefix's fonts.
install_fonts() {
  if [ -f /usr/share/wine/fonts/marlett.ttf ]; then
    mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
    cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
  fi
  reg="$WINEPREFIX/pi-fonts.reg"
  {
    printf '\377\376'
    iconv -f UTF-8 -t UTF-16LE <<'EOF'
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes]
"宋体"="WenQuanYi Zen Hei Sharp"
"SimSun"="WenQuanYi Zen Hei Sharp"
"NSimSun"="WenQuanYi Zen Hei Sharp"
"Tahoma"="WenQuanYi Zen Hei Sharp"
"MS Shell Dlg"="WenQuanYi Zen Hei Sharp"
"MS Shell Dlg 2"="WenQuanYi Zen Hei Sharp"
"Microsoft Sans Serif"="WenQuanYi Zen Hei Sharp"
"Segoe UI"="WenQuanYi Zen Hei Sharp"
EOF
  } >"$reg"
  "$WINE" regedit /S "$reg" >/dev/null 2>&1 || true
}

if [ ! -f "$WINEPREFIX/.ready" ] || [ ! -f "$WINEPREFIX/.cjk-fonts" ]; then
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.ready" ]; then
      WINEARCH=$new_prefix_arch "$WINE" wineboot -i >/dev/null 2>&1 || true
      wineserver -w 2>/dev/null || true
      touch "$WINEPREFIX/.ready"
    fi
    if [ ! -f "$WINEPREFIX/.cjk-fonts" ]; then
      install_fonts
      touch "$WINEPREFIX/.cjk-fonts"
    fi
  ) 9>"$WINEPREFIX.lock"
fi

# Programs that start together on a fresh server race to bring up its
# desktop, and the loser can never create a window (not even a message-only
# one). So the server is kept for a minute between programs, and a fresh one
# gets its desktop here, one program at a time.
(
  flock 9
  if wineserver -p 60 </dev/null >/dev/null 2>&1 9>&-; then
    "$WINE" rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1 9>&- || true
  fi
) 9>"$WINEPREFIX.lock"
exec "$WINE" "$prog" "$@"
