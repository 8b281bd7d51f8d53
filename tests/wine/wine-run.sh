#!/usr/bin/env bash
# Runs a Windows program of the cross build under Wine, in the build's own prefix:
#   wine-run.sh PREFIX PROGRAM.exe [ARGS...]
# The prefix is made on first use. Wine's debug chatter is off, and the "\r" that the C runtime's
# text mode puts before each "\n" is dropped, so CTest reads the program's lines as plain lines.
set -uo pipefail
prefix=$1
shift
export WINEPREFIX=$prefix WINEDEBUG=-all
mkdir -p "$(dirname "$prefix")"
(
    flock 9
    if [ ! -f "$prefix/system.reg" ]; then
        wineboot -i >/dev/null 2>&1 && wineserver -w
    fi
) 9>"$prefix.lock"
wine "$@" | sed -u 's/\r$//'
