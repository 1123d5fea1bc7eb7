#!/bin/sh
# Runs a test program with a small volume of its own: a tmpfs of 8 MiB
# mounted at DIR for the time of the run, its path in PI_SMALL_VOLUME. Only
# root can mount one; elsewhere the program runs without it and the cases
# that need it skip themselves.
#
#   with-small-volume.sh DIR PROGRAM [ARGUMENTS...]
set -u
dir=$1
shift
mkdir -p "$dir"
mounted=""
if [ "$(id -u)" -eq 0 ] && ! mountpoint -q "$dir" && mount -t tmpfs -o size=8m tmpfs "$dir"; then
  mounted=yes
  export PI_SMALL_VOLUME="$dir"
else
  echo "with-small-volume.sh: no small volume at $dir (mounting needs root)"
fi
"$@"
status=$?
[ -n "$mounted" ] && umount "$dir"
exit $status
