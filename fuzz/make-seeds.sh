#!/bin/sh
# Builds the seed corpora of the fuzz targets from real archives and
# installers, made by the project's own paktool and mkpatch of the fuzz build:
#   build/fuzz/seeds/pak        flags + archive: 0x00 as written, 0x01 left as a
#                               backup, 0x02 with the index deciphered
#   build/fuzz/seeds/installer  payloads: 0x01 + the compressed stream, and
#                               0x00 + the inflated package
#   build/fuzz/seeds/manifest   a game-directory length byte + inflated package
#   build/fuzz/seeds/inflate    flags, parameter, compressed stream
# Needs the fuzz build (cmake --preset fuzz && cmake --build --preset fuzz).
set -eu
cd "$(dirname "$0")/.."
build=${PI_FUZZ_BUILD:-build/fuzz}
paktool=$build/tools/paktool/paktool
mkpatch=$build/tools/mkpatch/mkpatch
seedtool=$build/fuzz/pi_fuzz_seed
for tool in "$paktool" "$mkpatch" "$seedtool"; do
  [ -x "$tool" ] || { echo "make-seeds: $tool is missing: build the fuzz preset first" >&2; exit 2; }
done
# The tools' own leaks are not what these seeds are for.
export ASAN_OPTIONS=detect_leaks=0

seeds=$build/seeds
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$seeds"
mkdir -p "$seeds/pak" "$seeds/installer" "$seeds/manifest" "$seeds/inflate"

# Sources: a small tree with nested directories, an empty file and a Chinese
# name; a second version of it for the patches.
tree() {
  mkdir -p "$1/dir/sub" "$1/配置"
  printf '%s\n' "$2" >"$1/x.txt"
  head -c 100 /dev/zero | tr '\0' 'Z' >"$1/dir/y.bin"
  : >"$1/dir/sub/empty.dat"
  printf 'life skill %s\n' "$2" >"$1/配置/life_skill.ini"
  seq 1 400 | tr '\n' ' ' >"$1/Upper.TXT"
}
tree "$work/v1" "hello, world"
tree "$work/v2" "hello, fuzz"
mkdir -p "$work/one" "$work/empty" "$work/loose/docs"
printf 'one' >"$work/one/a"
printf 'readme\n' >"$work/loose/readme.txt"
printf 'manual\n' >"$work/loose/docs/manual.txt"

# Archives.
"$paktool" create "$work/full.pak" "$work/v1" >/dev/null
"$paktool" create "$work/one.pak" "$work/one" >/dev/null
"$paktool" create "$work/empty.pak" "$work/empty" >/dev/null
cp "$work/full.pak" "$work/added.pak"
"$paktool" add "$work/added.pak" "$work/one/a" "New\\Name.bin=$work/loose/readme.txt" >/dev/null
for archive in full one empty added; do
  { printf '\000'; cat "$work/$archive.pak"; } >"$seeds/pak/$archive"
  "$seedtool" plain-index "$work/$archive.pak" "$work/$archive.plain"
  { printf '\002'; cat "$work/$archive.plain"; } >"$seeds/pak/$archive-plain"
done
{ printf '\001'; cat "$work/one.pak"; } >"$seeds/pak/one-backup"

# Installers against the archives the installer target puts in its game
# directory: a.pak (x.txt, dir\y.bin) and data\b.pak (empty).
printf 'stub program\n' >"$work/stub"
i=0
build_installer() {
  i=$((i + 1))
  "$mkpatch" build --stub "$work/stub" -o "$work/setup$i" "$@" >/dev/null
  "$seedtool" installer "$work/setup$i" "$work/compressed$i" "$work/inflated$i"
  { printf '\001'; cat "$work/compressed$i"; } >"$seeds/installer/compressed$i"
  { printf '\000'; cat "$work/inflated$i"; } >"$seeds/installer/inflated$i"
  { printf '\024'; cat "$work/inflated$i"; } >"$seeds/manifest/dir20-$i"
  { printf '\310'; cat "$work/inflated$i"; } >"$seeds/manifest/dir200-$i"
  { printf '\000\000'; cat "$work/compressed$i"; } >"$seeds/inflate/whole$i"
  { printf '\002\000'; cat "$work/compressed$i"; } >"$seeds/inflate/size$i"
  { printf '\005\003'; cat "$work/compressed$i"; } >"$seeds/inflate/short$i"
}
build_installer --files "$work/loose"
build_installer --pak "a.pak=$work/v2"
build_installer --pak "data/b.pak=$work/full.pak" --pak "a.pak=$work/one"
# The same patch against a.pak damaged in one word (the installer target's
# selector bit 1): fileCount 0, and the first entry's nameOffset 0xFFFFFFFF.
{ printf '\002\002\000'; cat "$work/inflated$i"; } >"$seeds/installer/damaged-count$i"
{ printf '\002\021\005'; cat "$work/inflated$i"; } >"$seeds/installer/damaged-name$i"
build_installer --files "$work/loose" --pak "a.pak=$work/v1" --pak "new/c.pak=$work/added.pak" --level 1
build_installer --pak "data/b.pak=$work/empty" --level 0
# More than one output buffer (160 KiB) of loose data, from little input.
mkdir -p "$work/big"
head -c 400000 /dev/zero | tr '\0' 'q' >"$work/big/big.dat"
build_installer --files "$work/big"

for dir in "$seeds"/*; do
  echo "make-seeds: $(ls "$dir" | wc -l) seeds in $dir"
done
