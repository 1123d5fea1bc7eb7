#!/bin/sh
# Installs everything the build and the tests need on a fresh Debian machine.
# Idempotent: when every package and the locale are present it only checks.
set -eu

PACKAGES="g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix libz-mingw-w64-dev
libgcrypt-mingw-w64-dev libgpg-error-mingw-w64-dev libgcrypt20-dev libssl-dev
zlib1g-dev libgtest-dev ninja-build cmake wine wine64 xvfb xdotool
x11-apps imagemagick fonts-wqy-zenhei fonts-wine locales tmux pigz
clang libclang-rt-14-dev"

missing=""
for p in $PACKAGES; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
    missing="$missing $p"
  fi
done

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

if [ -n "$missing" ]; then
  echo "setup: installing$missing"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi

# Wine's ANSI code page follows the locale: zh_CN.GBK gives code page 936.
if ! locale -a 2>/dev/null | grep -qi '^zh_CN\.gbk$'; then
  echo "setup: generating zh_CN.GBK locale"
  $SUDO localedef -i zh_CN -f GBK zh_CN.GBK
fi
echo "setup: all dependencies present"
