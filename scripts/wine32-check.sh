#!/bin/sh
# Tells whether this machine can start 32-bit wine, which runs the i686
# (release) build's tests. When it can, prints the 32-bit wine loader and
# exits 0; otherwise prints the reason on one line and exits 1.
set -u

# Debian keeps both loaders in /usr/lib/wine: "wine" is the 32-bit one, from
# wine32:i386. /usr/bin/wine would fall back to wine64 without it.
if [ -d /usr/lib/wine ]; then
  loader=/usr/lib/wine/wine
else
  loader=$(command -v wine || echo /usr/lib/wine/wine)
fi
if [ ! -x "$loader" ]; then
  echo "32-bit wine is not installed (wine32:i386; scripts/setup.sh installs it)"
  exit 1
fi

out=$("$loader" --version 2>&1)
rc=$?
if [ $rc -eq 126 ]; then
  # The shell could not execute the loader, though it is there: the kernel
  # refuses 32-bit programs (no IA-32 emulation, or it is switched off).
  echo "the kernel does not run 32-bit programs ($loader: ${out##*: })"
  exit 1
elif [ $rc -ne 0 ]; then
  echo "32-bit wine does not start: $(printf '%s\n' "$out" | head -n1)"
  exit 1
fi
echo "$loader"
