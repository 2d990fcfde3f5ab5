#!/usr/bin/env bash
# Runs the unit-test binary (tests/kavrel_tests: no FFmpeg, no child
# processes) under valgrind memcheck. Any memory error, and any definite or
# indirect leak, fails the run.
#
# Usage: scripts/valgrind.sh [BUILD_DIR] [GTEST_ARGS...]
#   BUILD_DIR  a build tree without sanitizers, default build-valgrind
#              (configured here as Debug when it has no cache yet)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-valgrind}
shift || true
if [[ ! -f $build/CMakeCache.txt ]]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug >/dev/null
fi
if grep -q "^KAVREL_SANITIZE:BOOL=ON" "$build/CMakeCache.txt"; then
    echo "$build is built with sanitizers; valgrind needs a plain build" >&2
    exit 2
fi
cmake --build "$build" -j"$(nproc)" --target kavrel_tests >/dev/null

valgrind --tool=memcheck --error-exitcode=1 --leak-check=full \
    --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect \
    --track-origins=yes "$build/tests/kavrel_tests" --gtest_brief=1 "$@"
