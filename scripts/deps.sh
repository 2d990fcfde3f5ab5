#!/usr/bin/env bash
# Installs the Debian packages a build needs when they are missing.
# Usage: scripts/deps.sh build|test   (sourced or run; needs root to install)
set -euo pipefail

kind=${1:-build}
# libavformat/libavcodec: the tool's containers (MP4/MOV, Matroska, MPEG-TS).
packages=(cmake g++ make pkg-config libcli11-dev nlohmann-json3-dev libavformat-dev libavcodec-dev libavutil-dev)
if [[ $kind == test ]]; then
    # GoogleTest; FFmpeg and x264 (test streams, reference decoder); valgrind; clang
    # with libFuzzer; dpkg-dev and file for the Debian package (cpack).
    packages+=(googletest libgtest-dev ffmpeg x264 valgrind clang libclang-rt-14-dev dpkg-dev file)
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
    echo "   installing with apt-get: ${missing[*]} (and what they need; a few minutes on a fresh machine)"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # Progress: a count of the packages set up so far.
    printf '   packages set up:'
    apt-get install -y -q --no-install-recommends "${missing[@]}" 2>&1 | awk '
        /^Setting up / { n++; if (n % 20 == 0) { printf " %d", n; fflush() } }
        /^E: / { print }
        END { printf " %d, done\n", n }'
else
    echo "   all needed packages are installed"
fi
