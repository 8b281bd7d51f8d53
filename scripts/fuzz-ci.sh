#!/usr/bin/env bash
# Runs every fuzz target for a bounded time (default 60 s each; first argument overrides) and
# fails on the first crash, leak, timeout or broken check. Builds the preset fuzz (clang).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
for target in intel_hex_line image_assembly base64_decode version_reply reply_collection; do
    echo "== fuzz_$target for ${seconds} s"
    log=$(mktemp)
    if ! fuzz/run.sh "$target" "$seconds" >"$log" 2>&1; then
        tail -n 40 "$log"
        rm -f "$log"
        echo "FAILED: fuzz_$target (input kept under build/fuzz/artifacts/$target)"
        exit 1
    fi
    grep -E '^stat::(number_of_executed_units|new_units_added)' "$log" || true
    rm -f "$log"
done
