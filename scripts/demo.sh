#!/usr/bin/env bash
# Builds the library and the kavrel tool, then probes the bundled sample.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DKAVREL_BUILD_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
./build/kavrel probe samples/sample.h264
