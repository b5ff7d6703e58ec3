#!/bin/sh
# Makes a fresh Wine prefix for one test run, or ends the Wine processes of a prefix.
#   prefix.sh create PREFIX    ends what runs in PREFIX, removes it and builds it anew
#   prefix.sh stop PREFIX      ends what runs in PREFIX (the test run's clean-up)
# LAUNCHER_WINE and WINEARCH name the Wine of the build's architecture (default: 64-bit).
set -e
action=$1
WINEPREFIX=$2
if [ -z "$WINEPREFIX" ] || { [ "$action" != create ] && [ "$action" != stop ]; }; then
    echo "usage: prefix.sh create|stop PREFIX" >&2
    exit 2
fi
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH="${WINEARCH:-win64}"
wine="${LAUNCHER_WINE:-/usr/lib/wine/wine64}"
wineserver=/usr/lib/wine/wineserver64

# Only the wineserver of this prefix is told to end (the 64-bit server program serves 32-bit
# prefixes too), with every process it serves.
if [ -d "$WINEPREFIX" ]; then
    "$wineserver" -k 2>/dev/null || true
    "$wineserver" -w 2>/dev/null || true
fi
[ "$action" = stop ] && exit 0

rm -rf "$WINEPREFIX"
# Without a display the prefix is made with no window at all; a 64-bit prefix's 32-bit part,
# when this machine cannot run it, is reported on stderr and is not needed.
env -u DISPLAY "$wine" wineboot -i </dev/null >/dev/null 2>&1 || true
"$wineserver" -w
if [ ! -f "$WINEPREFIX/system.reg" ] || [ ! -d "$WINEPREFIX/drive_c/windows" ]; then
    echo "prefix.sh: Wine did not make the prefix $WINEPREFIX" >&2
    exit 1
fi
echo "Wine prefix ready: $WINEPREFIX"
