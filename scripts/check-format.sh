#!/bin/sh
# Checks that every C++ source is as clang-format (the repository's
# .clang-format) writes it, brace style included; names the files that are
# not. Fix them with: clang-format -i FILE...
set -u
cd "$(dirname "$0")/.."
if ! command -v clang-format >/dev/null; then
  echo "clang-format is not installed (scripts/setup.sh installs it)"
  exit 1
fi
files=$(find src tools tests fuzz bench \( -name '*.cpp' -o -name '*.h' \) -type f | sort)
report=$(mktemp)
trap 'rm -f "$report"' EXIT
# shellcheck disable=SC2086
if ! clang-format --dry-run --Werror $files 2>"$report"; then
  grep -o '^[^:]*\.\(cpp\|h\)' "$report" | sort -u | sed 's/^/not formatted: /'
  exit 1
fi
echo "$(echo "$files" | wc -l) sources formatted as .clang-format says"
