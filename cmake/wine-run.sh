#!/bin/sh
# Runs one Windows test program under 64-bit Wine for CTest (the cross
# build's CMAKE_CROSSCOMPILING_EMULATOR):
#
#   wine-run.sh <wine> <prefix-dir> <dll-dir> <program.exe> [arguments...]
#
# Wine starts its server (wineserver) and services (services.exe,
# winedevice.exe, ...) on demand from the first program it runs, and those
# inherit that program's standard output and error. CTest then waits for
# the pipes to close, i.e. for the server's idle timeout, on every test, and
# may hang. So the server is started here, detached, persistent for a while
# after the last program ends, and the prefix is booted once while nothing
# is attached to the test's output. Runs in parallel are serialised on a
# lock only for that start-up; the first run also creates the prefix.
set -u

if [ $# -lt 4 ]; then
    echo "usage: $0 <wine> <prefix-dir> <dll-dir> <program> [arguments...]" >&2
    exit 2
fi
wine=$1
prefix=$2
dll_dir=$3
shift 3

export WINEPREFIX="$prefix"
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono/Gecko installers and no desktop menu entries: none of them is
# needed by a console program, and the installers would wait for a display.
# No crash debugger either: with winedbg a crashing program exits with status
# 0 after a long dump; without it, with the exception code (non-zero).
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d"
unset DISPLAY WAYLAND_DISPLAY
# Kavrel.dll is at the top of the build tree, not beside the test programs.
WINEPATH="Z:$(printf '%s' "$dll_dir" | tr '/' '\\')"
export WINEPATH

wineserver_cmd=wineserver
if ! command -v wineserver >/dev/null 2>&1; then
    for candidate in "$(dirname "$wine")/wineserver" /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver; do
        if [ -x "$candidate" ]; then wineserver_cmd=$candidate; break; fi
    done
fi

mkdir -p "$prefix" || exit 2
(
    flock 9 || exit 2
    # Exit status 0: a new server was started (it has detached itself by the
    # time this returns); otherwise one is running already for this prefix.
    # It stays for ten minutes after the last program, then shuts down
    # together with the services.
    # (Neither the server nor the services may inherit the lock: 9>&-.)
    if "$wineserver_cmd" -p600 </dev/null >/dev/null 2>&1 9>&-; then
        # Creates the prefix the first time (several seconds) and starts
        # the services, all with their output going nowhere.
        "$wine" wineboot </dev/null >/dev/null 2>&1 9>&- || {
            echo "wine-run.sh: wineboot failed in $prefix" >&2
            exit 2
        }
    fi
) 9>"$prefix.lock" || exit 2

exec "$wine" "$@"
