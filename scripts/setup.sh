#!/usr/bin/env bash
# Installs what building, testing and the demo need on Debian 12 (only what is missing).
set -euo pipefail
packages=(cmake g++ make python3 libgtest-dev libgmock-dev googletest libbenchmark-dev
          binutils srecord socat time g++-mingw-w64-x86-64-posix wine wine64 clang libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    "${sudo_cmd[@]}" apt-get update -qq
    "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
