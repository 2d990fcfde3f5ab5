#!/usr/bin/env bash
# Builds the library and the kavrel tool in build/ (no tests), then probes
# the bundled sample. As root it first installs the build packages.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/progress.sh

stage "packages: CMake, g++, CLI11, nlohmann-json"
scripts/deps.sh build

stage "building libkavrel.so and the kavrel tool in build/"
# The tests stay off here (they need GoogleTest); scripts/test.sh turns
# them on again in the same build tree.
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DKAVREL_BUILD_TESTS=OFF -DKAVREL_BUILD_TOOLS=ON >/dev/null
build build/build.log build -j"$(nproc)"

stage "build/kavrel probe samples/sample.h264"
cat <<'NOTE'
   One line per access unit (offset, size, result code, picture type,
   structure, size, rate, reference frames, SPS/PPS sizes), then a summary.
   Lines that begin with "[VsKavrel]:" are the library's own diagnostics,
   printed as it parses; "Unexpected more data in current frame" marks
   where an access unit ends and the next begins, and is normal on a valid
   stream. A failure shows as a negative result code ("rc -N").
NOTE
echo
./build/kavrel probe samples/sample.h264
