#!/bin/sh
# Checks that released programs hold none of the platform layer's test hooks:
# neither the names of the environment settings that drive them (strings)
# nor any pi::fault symbol (nm).
#
#   scripts/check-no-test-hooks.sh [--hooked TEST_PROGRAM] PROGRAM...
#
# Every PROGRAM must hold none of them. A TEST_PROGRAM given with --hooked
# must hold every one, which shows that the search would find them.
set -u

names='PI_FAULT PI_CRASH_AT PI_PAUSE_AT PI_POWERCUT_AT PI_POWERCUT_DIR PI_FREE_SPACE'

# What of the hooks $1 holds, one per line.
found_in() {
    strings -a "$1" | grep -oE 'PI_(FAULT|CRASH_AT|PAUSE_AT|POWERCUT_AT|POWERCUT_DIR|FREE_SPACE)' | sort -u
    if nm -C "$1" 2>/dev/null | grep -qF 'pi::fault::'; then
        echo 'pi::fault::'
    fi
}

status=0
if [ "${1:-}" = --hooked ]; then
    [ $# -ge 2 ] || { echo "usage: $0 [--hooked TEST_PROGRAM] PROGRAM..." >&2; exit 2; }
    hooked=$(found_in "$2")
    for name in $names 'pi::fault::'; do
        if ! printf '%s\n' "$hooked" | grep -qxF "$name"; then
            echo "$2: $name not found: this check would see nothing" >&2
            status=1
        fi
    done
    shift 2
fi
[ $# -ge 1 ] || { echo "usage: $0 [--hooked TEST_PROGRAM] PROGRAM..." >&2; exit 2; }

for program in "$@"; do
    if [ ! -f "$program" ]; then
        echo "$program: missing" >&2
        status=1
        continue
    fi
    hooks=$(found_in "$program")
    if [ -n "$hooks" ]; then
        echo "$program holds test hooks:" $hooks >&2
        status=1
    else
        echo "$program: no test hooks"
    fi
done
exit $status
