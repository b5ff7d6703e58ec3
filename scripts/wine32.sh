#!/usr/bin/env bash
# 32-bit Windows programs on this x86-64 Linux: Debian's wine32 runs under qemu-i386 user
# emulation, registered with binfmt_misc (the kernel runs no 32-bit Linux code itself).
#   wine32.sh setup   installs and registers what is missing (root), one line per step it can't do
#   wine32.sh check   exit 0 when 32-bit Windows programs can run here; otherwise prints why
# Debian 12's own qemu (7.2) makes a prefix in 40 minutes and then hangs: version 8 or later is
# needed, which this release's backports suite has.
set -uo pipefail

WINE32=/usr/lib/wine/wine
QEMU=/usr/bin/qemu-i386
BINFMT=/proc/sys/fs/binfmt_misc
ENTRY=$BINFMT/qemu-i386
# The ELF header of 32-bit x86 programs and the bytes of it that count; F opens the interpreter
# once, at registration, so that it is found inside any mount namespace or chroot.
MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

say() { echo "wine32: $*" >&2; }

qemu_recent() {
  local major
  major=$("$QEMU" --version 2>/dev/null | sed -n 's/^qemu-i386 version \([0-9]*\).*/\1/p')
  [ "${major:-0}" -ge 8 ]
}

# Why 32-bit programs cannot run here, or nothing.
reason() {
  if [ ! -x "$WINE32" ]; then
    echo "wine32:i386 is not installed ($WINE32 missing)"
  elif ! qemu_recent; then
    echo "qemu-i386 of version 8 or later is missing (Debian's backports suite has it)"
  elif [ ! -f "$ENTRY" ] || ! grep -qx enabled "$ENTRY" 2>/dev/null; then
    echo "no binfmt_misc registration of qemu-i386 for 32-bit x86 programs"
  elif ! grep -qx "interpreter $QEMU" "$ENTRY"; then
    echo "binfmt_misc runs 32-bit x86 programs with $(sed -n 's/^interpreter //p' "$ENTRY"), not $QEMU"
  fi
}

as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  elif command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
    sudo "$@"
  else
    return 1
  fi
}

apt_get() { as_root env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 "$@"; }

codename() { . /etc/os-release && echo "${VERSION_CODENAME:-}"; }

# The archive and keyring of the machine's Debian entry for its release (deb822 or one-line
# format), as "URI KEYRING"; nothing when there is none.
debian_source() {
  local release=$1 file
  for file in /etc/apt/sources.list.d/*.sources; do
    [ -f "$file" ] || continue
    awk -v release="$release" '
      function flush() {
        if (uris != "" && suites ~ ("(^| )" release "( |$)")) { print uris, keys; found = 1; exit }
        uris = ""; suites = ""; keys = ""
      }
      /^[ \t]*$/      { flush(); next }
      /^URIs:/        { uris = $2 }
      /^Suites:/      { $1 = ""; suites = substr($0, 2) }
      /^Signed-By:/   { keys = $2 }
      END             { if (!found) flush() }' "$file" | head -n 1
  done
  [ -f /etc/apt/sources.list ] && awk -v release="$release" '
    $1 == "deb" {
      keys = ""; uri = ""; i = 2
      if ($2 ~ /^\[/) {
        for (; i <= NF; i++) {
          if ($i ~ /signed-by=/) { keys = $i; sub(/.*signed-by=/, "", keys); sub(/\]$/, "", keys) }
          if ($i ~ /\]$/) { i++; break }
        }
      }
      uri = $i
      if ($(i + 1) == release) { print uri, keys; exit }
    }' /etc/apt/sources.list
}

setup() {
  local release updated=0 source uri keys
  if [ -z "$(reason)" ]; then
    return 0
  fi
  if ! as_root true; then
    say "not set up: root rights are needed ($(reason))"
    return 0
  fi
  release=$(codename)

  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    as_root dpkg --add-architecture i386 && updated=1
  fi
  if ! qemu_recent; then
    if ! grep -rqs -- "${release}-backports" /etc/apt/sources.list /etc/apt/sources.list.d/; then
      source=$(debian_source "$release")
      if [ -z "$source" ]; then
        say "not set up: no Debian sources entry for '$release' to take the backports archive from"
        return 0
      fi
      read -r uri keys <<<"$source"
      {
        echo "Types: deb"
        echo "URIs: $uri"
        echo "Suites: ${release}-backports"
        echo "Components: main"
        [ -n "$keys" ] && echo "Signed-By: $keys"
      } | as_root tee "/etc/apt/sources.list.d/${release}-backports.sources" >/dev/null
      updated=1
    fi
  fi
  if [ "$updated" -eq 1 ] || [ ! -x "$WINE32" ] || ! qemu_recent; then
    echo "wine32.sh: installing wine32:i386 and qemu-user from ${release}-backports"
    apt_get update -qq || { say "not set up: apt-get update failed"; return 0; }
  fi
  if [ ! -x "$WINE32" ]; then
    apt_get install -y -qq wine32:i386 >/dev/null || say "could not install wine32:i386"
  fi
  if ! qemu_recent; then
    apt_get install -y -qq -t "${release}-backports" --no-install-recommends qemu-user >/dev/null ||
      say "could not install qemu-user from ${release}-backports"
  fi

  if [ ! -e "$BINFMT/register" ]; then
    as_root mount -t binfmt_misc binfmt_misc "$BINFMT" 2>/dev/null ||
      { say "not set up: binfmt_misc cannot be mounted on $BINFMT"; return 0; }
  fi
  if [ -f "$ENTRY" ] && ! grep -qx "interpreter $QEMU" "$ENTRY"; then
    echo -1 | as_root tee "$ENTRY" >/dev/null   # an older qemu's registration
  fi
  if [ -f "$ENTRY" ] && ! grep -qx enabled "$ENTRY"; then
    echo 1 | as_root tee "$ENTRY" >/dev/null
  fi
  if [ ! -f "$ENTRY" ]; then
    printf ':qemu-i386:M::%s:%s:%s:F' "$MAGIC" "$MASK" "$QEMU" |
      as_root tee "$BINFMT/register" >/dev/null ||
      { say "not set up: binfmt_misc refused the qemu-i386 registration"; return 0; }
  fi
  local left
  left=$(reason)
  [ -z "$left" ] || say "not set up: $left"
  return 0
}

case "${1:-}" in
  setup) setup ;;
  check)
    why=$(reason)
    [ -z "$why" ] && exit 0
    echo "$why"
    exit 1
    ;;
  *) echo "usage: wine32.sh setup|check" >&2; exit 2 ;;
esac
