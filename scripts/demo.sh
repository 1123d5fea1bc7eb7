#!/bin/sh
# The release engineer's round trip on Linux: build the tools, make a sample
# game directory (loose files and two pak archives with Chinese names), build
# a patch installer for a new version of it with mkpatch, run the installer
# on the game directory, and show the result.
#
# Everything happens under build/demo, which is made afresh.
set -eu
cd "$(dirname "$0")/.."

step() { printf '\n== %s\n' "$*"; }

step "dependencies"
scripts/setup.sh

step "build (preset linux)"
cmake --preset linux
cmake --build --preset linux

root=$(pwd)
orv=$root/build/linux/src/cli/orv
mkpatch=$root/build/linux/tools/mkpatch/mkpatch
paktool=$root/build/linux/tools/paktool/paktool

rm -rf build/demo
mkdir -p build/demo
cd build/demo

step "release 1.0: loose files and the sub-files of two archives"
mkdir -p r1/files/config r1/role/模型 r1/role/贴图 r1/scene/地图
printf '《砚川》 1.0\n' >r1/files/readme.txt
printf 'version=1.0\nwindowed=0\n' >r1/files/config/settings.ini
printf 'warrior model 1.0\n' >r1/role/模型/战士.mdl
printf 'mage model 1.0\n' >r1/role/模型/法师.mdl
printf 'sky texture\n' >r1/role/贴图/Sky.TGA
printf 'map of the capital\n' >r1/scene/地图/长安.map

step "the sample game directory, made by an installer for release 1.0"
"$mkpatch" build --stub "$orv" -o setup-1.0 --files r1/files \
  --pak data/角色.pak=r1/role --pak data/场景.pak=r1/scene
mkdir game
./setup-1.0 game

step "release 1.1: changed files, a changed archive, a new archive in a new directory"
cp -r r1 r2
printf '《砚川》 1.1\n' >r2/files/readme.txt
printf 'version=1.1\nwindowed=1\n' >r2/files/config/settings.ini
printf 'new in 1.1\n' >r2/files/新功能.txt
printf 'warrior model 1.1\n' >r2/role/模型/战士.mdl
printf 'assassin model\n' >r2/role/模型/刺客.mdl
# The new archive comes as an archive: its sub-files are carried over exactly
# as it stores them.
mkdir -p r2/expansion/地图 stage
printf 'map of the frontier\n' >r2/expansion/地图/边塞.map
"$mkpatch" build --stub "$orv" -o stage/setup --pak 新地图.pak=r2/expansion
./stage/setup stage >/dev/null

step "the patch installer for 1.1"
"$mkpatch" build --stub "$orv" -o update-1.1 --files r2/files \
  --pak data/角色.pak=r2/role --pak 扩展/新地图.pak=stage/新地图.pak
"$mkpatch" inspect update-1.1

step "running the patch installer on the game directory"
./update-1.1 game

step "the game directory afterwards"
find game -type f | sort
printf -- '-- game/readme.txt: %s\n' "$(cat game/readme.txt)"
printf -- '-- game/config/settings.ini:\n%s\n' "$(cat game/config/settings.ini)"
if [ -x "$paktool" ]; then
  for pak in game/data/角色.pak game/data/场景.pak game/扩展/新地图.pak; do
    printf -- '-- %s\n' "$pak"
    "$paktool" list "$pak"
  done
else
  echo "(paktool is not built yet: the archives are not listed)"
fi

step "a second run finds nothing to rewrite"
archives() { ls -li --time-style=full-iso game/data/角色.pak game/扩展/新地图.pak; }
before=$(archives)
./update-1.1 game
if [ "$before" = "$(archives)" ]; then
  echo "the archives are untouched: same file, size and time"
else
  echo "the archives were rewritten:" >&2
  archives >&2
  exit 1
fi
