#!/usr/bin/env bash
# The Windows executables: cross build with mingw-w64 (preset "windows", build/windows) and their
# tests under Wine.
#   test-windows.sh build   configure and build only (the native build's Wine end-to-end tests
#                           run these executables: build them before the native tests)
#   test-windows.sh test    build (if anything changed) and run the Windows build's tests
#   test-windows.sh         the same as "test"
set -euo pipefail
cd "$(dirname "$0")/.."
step=${1:-test}
case "$step" in
    build | test) ;;
    *)
        echo "usage: $0 [build|test]" >&2
        exit 2
        ;;
esac
cmake --preset windows
cmake --build --preset windows -j "$(nproc)"
if [ "$step" = test ]; then
    status=0
    ctest --preset windows -j "$(nproc)" || status=$?
    # The tests' Wine server would linger a few seconds: end it now, whatever the result.
    WINEPREFIX="$PWD/build/windows/wineprefix" wineserver -k 2>/dev/null || true
    exit $status
fi
