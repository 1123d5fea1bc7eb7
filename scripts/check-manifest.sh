#!/bin/sh
# Reads the application manifest out of a built Windows program and checks
# that it asks for the highest available execution level and names the
# systems it supports, Windows 7 to 11.
#
#   check-manifest.sh PROGRAM.exe
set -u
program=$1
# The manifest is stored as plain UTF-8 text among the resources.
manifest=$(strings -n 6 "$program" | sed -n '/<assembly/,/<\/assembly>/p')
if [ -z "$manifest" ]; then
  echo "$program: no application manifest"
  exit 1
fi
status=0
for wanted in 'level="highestAvailable"' \
  '{35138b9a-5d96-4fbd-8e2d-a2440225f93a}' '{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}' \
  '{1f676c76-80e1-4239-95bb-83d0f6d0da78}' '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}'; do
  if ! printf '%s\n' "$manifest" | grep -qF "$wanted"; then
    echo "$program: the manifest lacks $wanted"
    status=1
  fi
done
[ $status -eq 0 ] && echo "$program: manifest declares highestAvailable and Windows 7 to 11"
exit $status
