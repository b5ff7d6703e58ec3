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
  wine64                                     # 64-bit Windows programs (this machine runs no 32-bit code)
  xvfb xauth x11-utils imagemagick           # X screens, window lists and screenshots for GUI tests
  icoutils osslsigncode openssl              # resources, code signing
  python3 file                               # the end-to-end tests; the demo's file listing
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

run_as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  elif command -v sudo >/dev/null; then
    sudo "$@"
  else
    echo "deps.sh: root rights are needed to install: ${missing[*]}" >&2
    exit 1
  fi
}

echo "deps.sh: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
run_as_root apt-get update -qq
# wine64 recommends wine32, which cannot be installed here (no i386 architecture) and is skipped.
run_as_root apt-get install -y -qq "${missing[@]}" >/dev/null
echo "deps.sh: done"
