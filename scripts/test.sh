#!/usr/bin/env bash
# Installs what the tests need (as root, when missing), then builds and runs
# the whole test suite: a plain Release build, the same under
# AddressSanitizer + UndefinedBehaviorSanitizer, the unit tests under
# valgrind memcheck, a short libFuzzer run of every harness with its corpus
# and crash reproducers replayed, and Kavrel.dll under Wine
# (KAVREL_SKIP_FUZZ=1 / KAVREL_SKIP_WINDOWS=1 leave those out).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test
jobs=$(nproc)

echo "== Release build and tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$jobs" >/dev/null
ctest --test-dir build -j"$jobs" --output-on-failure

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build and tests"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKAVREL_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs" >/dev/null
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build-asan -j"$jobs" --output-on-failure

echo "== valgrind memcheck on the unit tests"
scripts/valgrind.sh build

if [[ ${KAVREL_SKIP_FUZZ:-0} != 1 ]]; then
    echo "== libFuzzer harnesses, ${KAVREL_FUZZ_SECONDS:-45}s each"
    KAVREL_FUZZ_SECONDS=${KAVREL_FUZZ_SECONDS:-45} scripts/fuzz-smoke.sh
fi

if [[ -x scripts/test-windows.sh && ${KAVREL_SKIP_WINDOWS:-0} != 1 ]]; then
    echo "== Kavrel.dll under Wine"
    scripts/test-windows.sh
fi
echo "all tests passed"
