#!/usr/bin/env bash
# Sets everything up, builds and runs every test: the Windows cross build first (the native
# end-to-end tests run its .exe files under Wine), then the native test build (warnings as
# errors, address and undefined-behaviour sanitizers), a minute of fuzzing for each fuzz target,
# then the Windows build's own tests.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/test-windows.sh build
cmake --preset ci
cmake --build --preset ci -j "$(nproc)"
ctest --preset ci -j "$(nproc)"
bash scripts/fuzz-ci.sh 60
bash scripts/test-windows.sh test
