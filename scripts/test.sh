#!/usr/bin/env bash
# The whole test suite (README, "Two commands"). As root it first installs
# what is missing with apt-get: CMake, g++, CLI11, nlohmann-json, GoogleTest,
# FFmpeg, valgrind, clang, dpkg-dev, file; the Windows stage adds MinGW-w64
# and Wine. Stages, each with a heading:
#   1. Release build and tests              (build/)
#   2. AddressSanitizer + UBSan build/tests (build-asan/)
#   3. valgrind memcheck on the unit tests  (build/)
#   4. install, CMake package, pkg-config, Debian package (build/)
#   5. libFuzzer smoke run, 45 s per harness (build-fuzz/)
#   6. Kavrel.dll and kavrel.exe under Wine (build-win/)
# About 7 minutes on 2 cores once the packages are installed, 3 of them
# fuzzing. Switches (environment): KAVREL_SKIP_FUZZ=1, KAVREL_FUZZ_SECONDS=N,
# KAVREL_SKIP_WINDOWS=1.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/progress.sh
jobs=$(nproc)

stage "packages"
scripts/deps.sh test

stage "Release build and tests (build/)"
# Tests and tool on explicitly: build/ may hold the demo's configuration.
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DKAVREL_BUILD_TESTS=ON -DKAVREL_BUILD_TOOLS=ON >/dev/null
build build/build.log build -j"$jobs"
ctest --test-dir build -j"$jobs" --output-on-failure --no-tests=error

stage "AddressSanitizer + UndefinedBehaviorSanitizer build and tests (build-asan/)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKAVREL_SANITIZE=ON \
    -DKAVREL_BUILD_TESTS=ON -DKAVREL_BUILD_TOOLS=ON >/dev/null
build build-asan/build.log build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build-asan -j"$jobs" --output-on-failure --no-tests=error

stage "valgrind memcheck on the unit tests (about a minute)"
scripts/valgrind.sh build

stage "install tree, CMake package, pkg-config file, Debian package"
scripts/test-install.sh build

if [[ ${KAVREL_SKIP_FUZZ:-0} != 1 ]]; then
    stage "libFuzzer harnesses, ${KAVREL_FUZZ_SECONDS:-45}s each (KAVREL_SKIP_FUZZ=1 skips)"
    KAVREL_FUZZ_SECONDS=${KAVREL_FUZZ_SECONDS:-45} scripts/fuzz-smoke.sh
fi

if [[ ${KAVREL_SKIP_WINDOWS:-0} != 1 ]]; then
    stage "Kavrel.dll and kavrel.exe under Wine (KAVREL_SKIP_WINDOWS=1 skips)"
    scripts/test-windows.sh
fi
stage "all tests passed"
