#!/bin/sh
# The benchmark: installs what it needs, builds the linux-release preset, and
# measures the installer and the tools against cp, md5sum, zlib and pigz on
# data it generates under build/bench/. See bench/README.md.
#
#   bench/run.sh [--quick] [--size-mib N] [--runs N] [--warm]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/setup.sh
cmake --preset linux-release >/dev/null
cmake --build --preset linux-release -- -j2 >/dev/null
exec build/linux-release/bench/pibench --scratch "$root/build/bench" "$@"
