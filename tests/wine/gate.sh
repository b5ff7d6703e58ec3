#!/bin/sh
# Runs one Wine test command, or reports it skipped (exit 77) where this machine cannot run the
# build's Windows programs: the 32-bit ones need wine32 under qemu-i386 (scripts/wine32.sh).
# Under CI (CI=true) that is a failure, so that CI never passes without running them.
#   gate.sh COMMAND [ARGS...]      (WINEARCH names the build's architecture; LAUNCHER_NEEDS_WIN32
#                                   set: the test runs 32-bit programs in a 64-bit build too)
if [ "$WINEARCH" = win32 ] || [ -n "$LAUNCHER_NEEDS_WIN32" ]; then
    if ! why=$("$(dirname "$0")/../../scripts/wine32.sh" check); then
        if [ "$CI" = true ]; then
            echo "32-bit Windows programs cannot run here: $why" >&2
            exit 1
        fi
        echo "skipped: 32-bit Windows programs cannot run here: $why (run scripts/deps.sh)"
        exit 77
    fi
fi
exec "$@"
