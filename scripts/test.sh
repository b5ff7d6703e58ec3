#!/usr/bin/env bash
# The test command: installs what is missing, builds the native, win64 and win32 presets and
# the release archives (scripts/release.sh), and runs the tests of the native build and, under
# Wine, of the win64 build and of the delivered 32-bit launcher's win32 build (32-bit Wine under
# qemu-i386). Needs no display and no input: the tests that need an X screen start one of their
# own. Exits non-zero when a build or a test fails; under CI (CI=true) a 32-bit suite that
# cannot run here fails too.
set -euo pipefail
cd "$(dirname "$0")/.."
exec </dev/null

start=$SECONDS
stage() { echo; echo "== $* ($((SECONDS - start)) s)"; }

stage "dependencies"
scripts/deps.sh

for preset in native win64 win32; do
  stage "configure and build: $preset"
  cmake --preset "$preset" --log-level=WARNING
  cmake --build --preset "$preset" -j2
done

# The bundle tests of the Windows builds unpack the release archives.
stage "release archives"
scripts/release.sh

failed=()
stage "tests: native"
ctest --preset native --parallel 2 || failed+=(native)
stage "tests: win64 (Wine)"
ctest --preset win64 || failed+=(win64)
stage "tests: win32, the delivered launcher (32-bit Wine)"
ctest --preset win32 || failed+=(win32)

stage "end"
if [ ${#failed[@]} -ne 0 ]; then
  echo "test.sh: tests failed in: ${failed[*]}" >&2
  exit 1
fi
echo "test.sh: all builds and tests passed in $((SECONDS - start)) s"
