#!/usr/bin/env bash
# Builds the library and the kavrel tool in build/ (no tests), then probes
# the bundled sample. As root it first installs the build packages.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/progress.sh

stage "packages: CMake, g++, CLI11, nlohmann-json, FFmpeg's libavformat/libavcodec"
scripts/deps.sh build

stage "building libkavrel.so and the kavrel tool in build/"
# The tests stay off here (they need GoogleTest); scripts/test.sh turns
# them on again in the same build tree.
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DKAVREL_BUILD_TESTS=OFF -DKAVREL_BUILD_TOOLS=ON >/dev/null
build build/build.log build -j"$(nproc)"

stage "build/kavrel -v probe samples/sample.h264"
cat <<'NOTE'
   One line per access unit (offset, size, result code "rc", picture type,
   structure, size, rate, reference frames, SPS/PPS sizes), then a summary.
   Lines that begin with "[VsKavrel]:" are the library's own diagnostics,
   printed as it parses. On a valid stream "Unexpected more data in current
   frame" (the next picture's slice follows) and "nal_unit_type (7) should
   precede the VCL NAL" (a parameter set follows) only mark where an access
   unit ends (-v shows them; without it the tool leaves those two out); a
   failed access unit shows a negative result code.
NOTE
echo
./build/kavrel -v probe samples/sample.h264
