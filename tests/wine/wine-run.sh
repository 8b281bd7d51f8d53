#!/usr/bin/env bash
# Runs a Windows program of the cross build under Wine, in the build's own prefix:
#   wine-run.sh PREFIX PROGRAM.exe [ARGS...]
# The prefix is made on first use. Wine's debug chatter is off, and the "\r" that the C runtime's
# text mode puts before each "\n" is dropped, so CTest reads the program's lines as plain lines.
# The output goes through a file: the Wine server and the helper processes a run starts would
# hold a pipe open, and CTest would wait for them, seconds after the program has ended.
set -uo pipefail
prefix=$1
shift
export WINEPREFIX=$prefix WINEDEBUG=-all
mkdir -p "$(dirname "$prefix")"
(
    flock 9
    if [ ! -f "$prefix/system.reg" ]; then
        wineboot -i </dev/null >/dev/null 2>&1 && wineserver -w
    fi
) 9>"$prefix.lock"
output=$(mktemp)
trap 'rm -f "$output"' EXIT
wine "$@" </dev/null >"$output" 2>&1
status=$?
sed 's/\r$//' "$output"
exit $status
