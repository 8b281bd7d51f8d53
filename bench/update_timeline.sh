#!/usr/bin/env bash
# A whole TX update in real time against the simulated unit on a paced line, natively and under
# Wine, beside the floor that the procedure and the line impose; start-up, memory and the cost
# of detection without a port. About ten minutes: two updates of some 280 s each.
#
#   bench/update_timeline.sh [BUILD_DIR] [-- update_timeline.py options]
#
# BUILD_DIR (default build/release) is configured as a Release build without sanitizers if it
# is not there yet, and the updater and the unit-simulator are built in it. The Windows run uses
# build/windows/src/BrivantaFwUpgrade.exe (cmake --preset windows) and is skipped without it.
# Run it on a quiet machine: the load average is printed before and after.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source_dir="$(dirname "$here")"
build_dir="${1:-$source_dir/build/release}"
shift $(($# > 0 ? 1 : 0))
[[ "${1:-}" == "--" ]] && shift

if [[ ! -f "$build_dir/CMakeCache.txt" ]]; then
    cmake -S "$source_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DBRIVANTA_WERROR=ON >/dev/null
fi
cmake --build "$build_dir" -j2 --target BrivantaFwUpgrade unit-simulator >/dev/null
exec python3 "$here/update_timeline.py" --build-dir "$build_dir" "$@"
