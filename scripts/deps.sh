#!/usr/bin/env bash
# Installs from Debian's packages what building and testing the launcher need, each only when
# it is missing. Quiet and quick when everything is there; safe to run again.
set -euo pipefail

packages=(
  cmake g++                                  # the POSIX port and the host tools
  clang clang-14 libclang-rt-14-dev          # the payload fuzzer (libFuzzer)
  libgtest-dev googletest                    # GoogleTest: native library, sources for Windows
  libbenchmark-dev                           # the benchmark
  g++-mingw-w64-i686 g++-mingw-w64-x86-64    # the Windows launchers
  wine64                                     # 64-bit Windows programs (32-bit: scripts/wine32.sh)
  xvfb xauth x11-utils imagemagick           # X screens, window lists and screenshots for GUI tests
  icoutils osslsigncode openssl              # resources, code signing
  python3 file                               # the end-to-end tests; the demo's file listing
  openjdk-17-jdk-headless                    # the Java helper's end-to-end test (javac, java)
)

. "$(dirname "$0")/apt.sh"

missing=()
for package in "${packages[@]}"; do
  installed "$package" || missing+=("$package")
done
if [ ${#missing[@]} -ne 0 ]; then
  echo "deps.sh: installing ${missing[*]}"
  as_root true || { echo "deps.sh: root rights are needed to install: ${missing[*]}" >&2; exit 1; }
  apt_update deps.sh || exit 1
  apt_get install -y -qq "${missing[@]}" >/dev/null
fi

# ---- 32-bit Windows programs: wine32 under qemu-i386 user emulation ----------------------------
# The kernel runs no 32-bit Linux code, so the 32-bit Wine runs under qemu-i386, registered with
# binfmt_misc. Debian 12's own qemu (7.2) hangs on it; the one of this release's backports suite
# works. A step that cannot be done says so in one line; the 32-bit test suites then report
# themselves skipped (and fail under CI).
scripts/wine32.sh setup
