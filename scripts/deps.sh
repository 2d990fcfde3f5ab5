#!/usr/bin/env bash
# Installs the Debian packages a build needs when they are missing.
# Usage: scripts/deps.sh build|test   (sourced or run; needs root to install)
set -euo pipefail

kind=${1:-build}
packages=(cmake g++ make pkg-config libcli11-dev nlohmann-json3-dev)
if [[ $kind == test ]]; then
    packages+=(googletest libgtest-dev ffmpeg x264 valgrind clang libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    if [[ $(id -u) -ne 0 ]]; then
        echo "missing packages: ${missing[*]} (run as root, or install them)" >&2
        exit 1
    fi
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
