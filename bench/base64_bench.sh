#!/usr/bin/env bash
# Encoding the flat controller image (123960 bytes): our base64_encode against coreutils
# `base64 -w 928` on the same bytes, in the same run.
#
#   bench/base64_bench.sh [BUILD_DIR]     (default: build/release; a build without sanitizers)
#
# Ours is the encoder alone, into memory (google-benchmark, mean wall time per image).
# Coreutils is timed on the image repeated REPEAT times, so that its process start does not
# count; its time per image is the best of RUNS runs divided by REPEAT. Its single-image run,
# process start included, is printed for reference. A ratio at or below 1.00 means ours is no
# slower.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$here/../build/release}"
bench="$build/bench/base64_bench"
REPEAT="${REPEAT:-200}"
RUNS="${RUNS:-7}"

if [[ ! -x "$bench" ]]; then
    echo "no $bench: build the base64_bench target in $build first" >&2
    exit 1
fi
command -v base64 >/dev/null || { echo "coreutils base64 not found" >&2; exit 1; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

"$bench" --write-image="$work/image.bin"
for ((i = 0; i < REPEAT; ++i)); do cat "$work/image.bin"; done >"$work/repeated.bin"

# Best wall time in ns of RUNS runs of the given command, output to /dev/null.
best_ns() {
    local best=0 start end elapsed
    for ((run = 0; run < RUNS; ++run)); do
        start=$(date +%s%N)
        "$@" >/dev/null
        end=$(date +%s%N)
        elapsed=$((end - start))
        if ((best == 0 || elapsed < best)); then best=$elapsed; fi
    done
    echo "$best"
}

ours_ns=$("$bench" --benchmark_format=csv --benchmark_min_time=0.5 2>/dev/null |
    awk -F, '/^"?BM_EncodeControllerImage"?,/ { printf "%.0f", $3 }')
coreutils_repeated_ns=$(best_ns base64 -w 928 "$work/repeated.bin")
coreutils_single_ns=$(best_ns base64 -w 928 "$work/image.bin")
coreutils_ns=$((coreutils_repeated_ns / REPEAT))

printf 'image: %d bytes\n' "$(stat -c %s "$work/image.bin")"
printf 'ours (base64_encode):                    %8d ns per image\n' "$ours_ns"
printf 'coreutils base64 -w 928 (x%d streamed):  %8d ns per image\n' "$REPEAT" "$coreutils_ns"
printf 'coreutils base64 -w 928 (one process):   %8d ns\n' "$coreutils_single_ns"
awk -v o="$ours_ns" -v c="$coreutils_ns" \
    'BEGIN { printf "ratio ours / coreutils: %.2f (%s)\n", o / c, o <= c ? "ours no slower" : "ours slower" }'
