#!/bin/sh
# Cross-builds Kavrel.dll, kavrel.exe and the unit tests with MinGW-w64 and runs them
# under 64-bit Wine with CTest (headless: no X server needed).
#
#   scripts/test-windows.sh [build-dir]      (default: build-win in the repository)
#
# Run as root, it first installs what is missing with apt-get
# (--no-install-recommends). Environment: JOBS (parallel build and test
# jobs, default: number of CPUs), CMAKE_BUILD_TYPE (default Release).
# Exits non-zero when anything fails.
set -eu

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$repo/build-win}
jobs=${JOBS:-$(nproc 2>/dev/null || echo 2)}
build_type=${CMAKE_BUILD_TYPE:-Release}

log() { printf 'test-windows: %s\n' "$*"; }

# Debian/Ubuntu packages: the posix-thread MinGW-w64 compilers, 64-bit Wine
# (console programs need no display server), GoogleTest sources.
missing=""
command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || missing="$missing g++-mingw-w64-x86-64-posix"
command -v x86_64-w64-mingw32-windres >/dev/null 2>&1 || missing="$missing binutils-mingw-w64-x86-64"
if ! command -v wine64 >/dev/null 2>&1 && [ ! -x /usr/lib/wine/wine64 ]; then
    missing="$missing wine64"
fi
command -v wine >/dev/null 2>&1 || command -v wine64 >/dev/null 2>&1 || missing="$missing wine"
[ -f /usr/src/googletest/CMakeLists.txt ] || missing="$missing googletest"
command -v cmake >/dev/null 2>&1 || missing="$missing cmake"
# The kavrel.exe tests: CLI11 and nlohmann-json headers, ffprobe to check
# the output of kavrel.exe double.
[ -f /usr/include/CLI/CLI.hpp ] || missing="$missing libcli11-dev"
[ -f /usr/include/nlohmann/json.hpp ] || missing="$missing nlohmann-json3-dev"
command -v ffprobe >/dev/null 2>&1 || missing="$missing ffmpeg"
command -v make >/dev/null 2>&1 || command -v ninja >/dev/null 2>&1 || missing="$missing make"
if [ -n "$missing" ]; then
    if [ "$(id -u)" -ne 0 ]; then
        log "missing packages:$missing (run as root to install them, or install them yourself)" >&2
        exit 1
    fi
    log "installing with apt-get:$missing (and what they need; Wine is large, a few minutes)"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    printf '   packages set up:'
    # shellcheck disable=SC2086
    { apt-get install -y -q --no-install-recommends $missing 2>&1; echo $? >/tmp/kavrel-apt.$$; } | awk '
        /^Setting up / { n++; if (n % 20 == 0) { printf " %d", n; fflush() } }
        /^E: / { print }
        END { printf " %d, done\n", n }'
    status=$(cat /tmp/kavrel-apt.$$); rm -f /tmp/kavrel-apt.$$
    [ "$status" -eq 0 ] || exit "$status"
fi

log "configuring $build ($build_type): Kavrel.dll, kavrel.exe and the tests"
cmake -S "$repo" -B "$build" \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE="$build_type" \
    -DKAVREL_BUILD_TOOLS=ON -DKAVREL_BUILD_TESTS=ON >/dev/null

log "building with $jobs jobs"
. "$repo/scripts/progress.sh"
build "$build/build.log" "$build" -j "$jobs"

# The tests' launcher leaves Wine's server running for a while after the
# last test; stop the one for this build's prefix when done.
prefix=$(sed -n 's/^KAVREL_WINEPREFIX:PATH=//p' "$build/CMakeCache.txt")
stop_wineserver() {
    if [ -n "$prefix" ] && [ -d "$prefix" ] && command -v wineserver >/dev/null 2>&1; then
        WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true
    fi
}
trap stop_wineserver EXIT

log "running the tests under Wine (prefix $prefix; the first run creates it, about a minute)"
ctest --test-dir "$build" --output-on-failure --no-tests=error -j "$jobs" -LE interop
log "all Windows tests passed"
