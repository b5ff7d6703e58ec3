#!/bin/sh
# Runs a Windows program under Wine with the test settings: the build's own prefix, no Wine
# debug output, and no prompt for Mono or Gecko when a prefix is made.
#   wine.sh PROGRAM.exe [ARGS...]
# LAUNCHER_WINE names the Wine of the build's architecture (default: the 64-bit one).
# WINEPREFIX, when set, names the prefix; otherwise <build>/wineprefix, where <build> is the
# build folder in which the caller runs (CTest runs each test inside the build tree).
if [ -z "$WINEPREFIX" ]; then
    build=$(pwd)
    # CTest starts tests in the subfolder of their CMakeLists.txt: climb to the build root.
    while [ "$build" != / ] && [ ! -f "$build/CMakeCache.txt" ]; do
        build=$(dirname "$build")
    done
    if [ ! -f "$build/CMakeCache.txt" ]; then
        echo "wine.sh: WINEPREFIX is not set and no build folder contains $(pwd)" >&2
        exit 125
    fi
    WINEPREFIX=$build/wineprefix
fi
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
exec "${LAUNCHER_WINE:-/usr/lib/wine/wine64}" "$@"
