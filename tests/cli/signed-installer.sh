#!/bin/sh
# A signed Windows installer, as a release engineer ships it: built by
# mkpatch.exe (level 0, so that a record's bytes can be found in the file),
# signed and verified with osslsigncode on the build machine, then applied
# under wine. A copy with one byte of a sub-file's data changed must fail
# verification, and the installer must refuse it and leave the game as it was
# (the archive library checks every sub-file's digest; loose files are
# written as they come, so the package carries an archive only).
#
#   signed-installer.sh WORK_DIR MKPATCH_EXE PAKTOOL_EXE ORVC_EXE
set -eu
here=$(cd "$(dirname "$0")" && pwd)
run="sh $here/../../scripts/wine-run.sh"
work=$1 mkpatch=$2 paktool=$3 orvc=$4

for tool in openssl osslsigncode; do
  if ! command -v $tool >/dev/null; then
    echo "SKIPPED: $tool is not installed (scripts/setup.sh installs it)"
    exit 77
  fi
done

fail() {
  echo "FAILED: $*"
  exit 1
}

rm -rf "$work"
mkdir -p "$work/res/sub" "$work/old" "$work/game/data"
cd "$work"
printf 'a sub-file from a signed installer: 7f3a9c\n' >res/a.txt
printf 'another one\n' >res/sub/b.txt
printf 'the old a\n' >old/a.txt
printf 'only in the old archive\n' >old/c.txt
printf 'the readme\n' >game/readme.txt
$run "$paktool" create "Z:$work/game/data/res.pak" "Z:$work/old" >paktool.log 2>&1 ||
  { cat paktool.log; fail "paktool.exe create"; }

openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 \
  -subj "/O=Release test/CN=Throwaway signer" 2>/dev/null

# mkpatch.exe takes Windows paths; Z: is the root of the Linux file system.
$run "$mkpatch" build --stub "Z:$orvc" -o "Z:$work/unsigned.exe" --pak "data/res.pak=Z:$work/res" \
  --level 0 >mkpatch.log 2>&1 || { cat mkpatch.log; fail "mkpatch.exe build"; }
osslsigncode sign -h sha256 -certs cert.pem -key key.pem -in unsigned.exe -out setup.exe \
  >sign.log 2>&1 || { cat sign.log; fail "osslsigncode sign"; }
osslsigncode verify -CAfile cert.pem -in setup.exe >verify.log 2>&1 ||
  { cat verify.log; fail "osslsigncode verify refused the signed installer"; }
$run "$mkpatch" inspect "Z:$work/setup.exe" >inspect.log 2>&1 ||
  { cat inspect.log; fail "mkpatch.exe inspect"; }
grep -q "signature  signed by .*CN=Throwaway signer" inspect.log ||
  { cat inspect.log; fail "inspect does not name the signer"; }

# One byte of a.txt's stored bytes, in a copy of the installer.
offset=$(grep -boa 'from a signed installer: 7f3a9c' setup.exe | head -n1 | cut -d: -f1)
[ -n "$offset" ] || fail "the record's bytes are not in the installer"
cp setup.exe tampered.exe
printf 'X' | dd of=tampered.exe bs=1 seek="$offset" conv=notrunc 2>/dev/null
if osslsigncode verify -CAfile cert.pem -in tampered.exe >tampered-verify.log 2>&1; then
  fail "osslsigncode verify accepted a changed installer"
fi
cp -r game game-before
if $run "$work/tampered.exe" "Z:$work/game" >tampered.log 2>&1; then
  cat tampered.log
  fail "the changed installer reported success"
fi
diff -r game-before game >/dev/null || fail "the changed installer touched the game"

$run "$work/setup.exe" "Z:$work/game" >apply.log 2>&1 || { cat apply.log; fail "the signed installer"; }
# The dry run finds nothing left to change: the archive holds the two new
# sub-files, and the old one beside them.
$run "$mkpatch" inspect "Z:$work/setup.exe" --against "Z:$work/game" >against.log 2>&1 ||
  { cat against.log; fail "the game does not hold what the installer carries"; }
$run "$paktool" list "Z:$work/game/data/res.pak" >list.log 2>&1 || { cat list.log; fail "paktool.exe list"; }
grep -q "c.txt" list.log || { cat list.log; fail "the old sub-file was lost"; }
echo "signed installer: verified, applied; a changed copy refused, the game untouched"
