#!/usr/bin/env bash
# Runs one fuzz target for a bounded time: fuzz/run.sh TARGET SECONDS [libFuzzer options...]
#
# Builds the target first (preset fuzz, or the build directory in $BRIVANTA_FUZZ_BUILD_DIR).
# New inputs go to a working corpus inside the build directory; the committed seeds in
# fuzz/corpus/TARGET are read, never written. A crash, leak or timeout leaves its input as
# BUILD_DIR/artifacts/TARGET/crash-* (or leak-*, timeout-*) and the script exits non-zero;
# copy that file into fuzz/corpus/TARGET once the fault is fixed.
set -euo pipefail
if [[ $# -lt 2 ]]; then
    echo "usage: $0 TARGET SECONDS [libFuzzer options...]" >&2
    echo "targets: intel_hex_line image_assembly base64_decode version_reply reply_collection" >&2
    exit 2
fi
target=$1
seconds=$2
shift 2
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BRIVANTA_FUZZ_BUILD_DIR:-$root/build/fuzz}"
seeds="$root/fuzz/corpus/$target"
[[ -d "$seeds" ]] || { echo "unknown target: $target" >&2; exit 2; }

if [[ ! -f "$build/CMakeCache.txt" ]]; then
    if [[ -n "${BRIVANTA_FUZZ_BUILD_DIR:-}" ]]; then
        cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DBRIVANTA_WERROR=ON -DBRIVANTA_SANITIZE=ON -DBRIVANTA_FUZZ=ON \
            -DBRIVANTA_BUILD_TESTS=OFF -DBRIVANTA_BUILD_BENCH=OFF >/dev/null
    else
        (cd "$root" && cmake --preset fuzz >/dev/null)
    fi
fi
cmake --build "$build" --target "fuzz_$target" -j "${BRIVANTA_FUZZ_JOBS:-2}" >/dev/null

work="$build/corpus/$target"
artifacts="$build/artifacts/$target"
mkdir -p "$work" "$artifacts"
# close_fd_mask=1: the program's console texts would drown libFuzzer's own report.
exec "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -close_fd_mask=1 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "$@" "$work" "$seeds"
