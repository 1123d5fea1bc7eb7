#!/bin/sh
# Installs everything the build and the tests need on a fresh Debian machine.
# Idempotent: when every package and the locale are present it only checks.
set -eu

PACKAGES="g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix libz-mingw-w64-dev
libgcrypt-mingw-w64-dev libgpg-error-mingw-w64-dev libgcrypt20-dev libssl-dev
zlib1g-dev libgtest-dev ninja-build cmake wine wine64 xvfb xdotool
x11-apps imagemagick fonts-wqy-zenhei fonts-wine locales tmux pigz
clang clang-format libclang-rt-14-dev libcli11-dev nlohmann-json3-dev openssl osslsigncode libzopfli-dev 7zip"

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

# The release is the i686 build; its tests need wine's 32-bit half, which
# Debian ships for the i386 architecture, with the X libraries that wine64
# finds in their amd64 versions (text rendering, the cursor, the screen's
# layout). A machine that cannot have them still builds and tests the rest:
# scripts/test.sh says why the i686 tests did not run.
I386_PACKAGES="wine32:i386 libxrender1:i386 libxext6:i386 libxfixes3:i386
libxcursor1:i386 libxi6:i386 libxrandr2:i386 libxinerama1:i386 libxcomposite1:i386"
i386_missing=""
for p in $I386_PACKAGES; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
    i386_missing="$i386_missing $p"
  fi
done
if [ -n "$i386_missing" ]; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "setup: enabling the i386 architecture"
    $SUDO dpkg --add-architecture i386
  fi
  echo "setup: installing$i386_missing"
  if ! { $SUDO apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends \
      $i386_missing >/dev/null; }; then
    echo "setup: the i386 packages could not be installed; the i686 tests will not run"
  fi
fi

# Wine's ANSI code page follows the locale's language: zh_CN gives code page
# 936. Wine runs in zh_CN.UTF-8 (scripts/wine-run.sh); the Linux tests use
# zh_CN.GBK.
if ! locale -a 2>/dev/null | grep -qi '^zh_CN\.gbk$'; then
  echo "setup: generating zh_CN.GBK locale"
  $SUDO localedef -i zh_CN -f GBK zh_CN.GBK
fi
if ! locale -a 2>/dev/null | grep -qi '^zh_CN\.utf-\?8$'; then
  echo "setup: generating zh_CN.UTF-8 locale"
  $SUDO localedef -i zh_CN -f UTF-8 zh_CN.UTF-8
fi
echo "setup: all dependencies present"
