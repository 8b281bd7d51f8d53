#!/usr/bin/env bash
# Sets everything up, builds, and runs a whole firmware update. With a USB serial adapter plugged
# in (/dev/ttyUSB* or /dev/ttyACM*) it updates the real unit on it; otherwise it updates the
# bundled simulated TX unit, served on a pseudo-terminal, so the program can be seen at work
# without hardware (BRIVANTA_SIMULATE=1 forces the simulated unit). A whole update lasts about three minutes: the unit's reboot wait is 138 s.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target BrivantaFwUpgrade unit-simulator
updater=build/release/src/BrivantaFwUpgrade

adapter_attached() { compgen -G "/dev/ttyUSB*" >/dev/null || compgen -G "/dev/ttyACM*" >/dev/null; }
if [ -z "${BRIVANTA_SIMULATE:-}" ] && adapter_attached; then
    echo "A serial adapter is attached: updating the unit on it."
    exec "$updater"
fi

workdir=$(mktemp -d)
simulator_pid=
cleanup() {
    [ -n "$simulator_pid" ] && kill "$simulator_pid" 2>/dev/null || true
    rm -rf "$workdir"
}
trap cleanup EXIT
mkdir -p "$workdir/received"
build/release/tools/unit-simulator/unit-simulator --kind tx --link "$workdir/COM1" \
    --save-dir "$workdir/received" --timeout-s 600 >"$workdir/simulator.out" 2>&1 &
simulator_pid=$!
for _ in $(seq 100); do [ -e "$workdir/COM1" ] && break; sleep 0.05; done
echo "No adapter attached: updating a simulated TX unit on $(readlink "$workdir/COM1") (COM1)."

status=0
BRIVANTA_COM_DIR="$workdir" "$updater" || status=$?
echo
echo "Updater exit status: $status"
echo "Images the simulated unit received and verified:"
for image in "$workdir"/received/image-*.bin; do
    [ -e "$image" ] && echo "  $(basename "$image"): $(stat -c %s "$image") bytes"
done
grep -E "image [lh]: [0-9]+ of" "$workdir/received/log.txt" 2>/dev/null | sed "s/^/  /" || true
exit "$status"
