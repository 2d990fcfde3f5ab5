#!/usr/bin/env bash
# Checks what an integrator gets from a build tree (default build/, Linux):
#   - cmake --install into a scratch prefix: files, SONAME links;
#   - examples/count_frames.c built against that tree with find_package(kavrel)
#     and with `pkg-config --cflags --libs kavrel`, both run on the sample;
#   - the installed tool probes the sample;
#   - cpack -G DEB: the package and its metadata (dependencies from shlibdeps).
# With --system (CI; root) the package is then installed with apt-get and
# /usr/bin/kavrel probes the sample.
#
# Usage: scripts/test-install.sh [--system] [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

system=0
if [[ ${1:-} == --system ]]; then system=1; shift; fi
build=${1:-build}
sample=samples/sample.h264
work=$build/install-check
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
prefix=$work/prefix

check() {  # check DESCRIPTION COMMAND...: runs it, says so, stops on failure
    local what=$1
    shift
    if "$@" >"$work/last.log" 2>&1; then
        echo "   ok: $what"
    else
        echo "   FAILED: $what" >&2
        tail -30 "$work/last.log" >&2
        exit 1
    fi
}

# The example prints "kavrel X.Y.Z: N access units parsed, 0 rejected".
runs_on_sample() {
    local out
    out=$("$1" "$sample" 2>&1) || { echo "$out"; return 1; }
    grep -q "^kavrel .*: 10 access units parsed, 0 rejected$" <<<"$out" || { echo "$out"; return 1; }
}

check "cmake --install $build --prefix $prefix" cmake --install "$build" --prefix "$prefix"
lib_files=(bin/kavrel include/kavrel.h lib/libkavrel.so lib/libkavrel.so.0 lib/cmake/kavrel/kavrel-config.cmake
    lib/cmake/kavrel/kavrel-config-version.cmake lib/cmake/kavrel/kavrel-targets.cmake lib/pkgconfig/kavrel.pc)
check "installed: ${lib_files[*]}" bash -c 'cd "$1" && shift && ls "$@"' _ "$prefix" "${lib_files[@]}"
check "libkavrel.so.0 is the SONAME" bash -c "readelf -d '$prefix/lib/libkavrel.so.0' | grep -q 'SONAME.*\[libkavrel.so.0\]'"
check "the installed tool probes $sample" "$prefix/bin/kavrel" probe "$sample"
check "the installed tool needs no libkavrel.so" bash -c "! readelf -d '$prefix/bin/kavrel' | grep -q 'NEEDED.*libkavrel'"

check "examples/ configured with find_package(kavrel)" \
    cmake -S examples -B "$work/example-cmake" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release
check "examples/ built" cmake --build "$work/example-cmake"
check "count_frames (find_package) parses $sample" runs_on_sample "$work/example-cmake/count_frames"

export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
flags=$(pkg-config --cflags --libs kavrel)
libdir=$(pkg-config --variable=libdir kavrel)
echo "   pkg-config --cflags --libs kavrel: $flags"
# shellcheck disable=SC2086
check "count_frames built with cc and pkg-config" \
    cc -std=c11 -Wall -Wextra -Werror -o "$work/count_frames-pc" examples/count_frames.c $flags -Wl,-rpath,"$libdir"
check "count_frames (pkg-config) parses $sample" runs_on_sample "$work/count_frames-pc"
unset PKG_CONFIG_PATH

check "cpack -G DEB" bash -c "cd '$build' && cpack -G DEB -B '$work/deb'"
deb=$(ls "$work"/deb/kavrel_*.deb)
echo "   $deb:"
dpkg-deb -f "$deb" Package Version Architecture Depends | sed 's/^/     /'
check "the package depends on libc6 and libstdc++6 (shlibdeps)" \
    bash -c "dpkg-deb -f '$deb' Depends | grep -q 'libc6 (>=' && dpkg-deb -f '$deb' Depends | grep -q 'libstdc++6 (>='"
if "$prefix/bin/kavrel" --version | grep -q "^containers: MP4"; then
    check "the package depends on libavformat and libavcodec (the tool's containers)" \
        bash -c "dpkg-deb -f '$deb' Depends | grep -q 'libavformat' && dpkg-deb -f '$deb' Depends | grep -q 'libavcodec'"
fi
check "the package holds library, header, CMake package, pkg-config file and tool" bash -c "
    dpkg-deb -c '$deb' > '$work/deb.list' &&
    for f in usr/lib/libkavrel.so.0 usr/include/kavrel.h usr/lib/cmake/kavrel/kavrel-config.cmake \
        usr/lib/pkgconfig/kavrel.pc usr/bin/kavrel; do grep -q \" ./\$f\" '$work/deb.list' || exit 1; done"

if ((system)); then
    check "apt-get install $deb" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$deb"
    check "/usr/bin/kavrel probe $sample (the installed package)" /usr/bin/kavrel probe "$sample"
    /usr/bin/kavrel probe "$sample" | tail -3 | sed 's/^/     /'
fi
echo "   install and packaging checks passed"
