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
# The version pins of one install_i386 call; never left behind.
PINS=/etc/apt/preferences.d/wine32-setup.pref
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

. "$(dirname "$0")/apt.sh"

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

# The amd64 packages of the set's i386 dependency closure that are installed, "Multi-Arch: same"
# and whose installed or candidate version has no i386 build in the indexes that arrived (an
# i386 index missing while the mirror syncs), each as "NAME INSTALLED NEWEST": NEWEST is the
# newest version that both architectures have at a priority apt installs by default (no
# backports), "-" when there is none.
i386_blockers() {
  local closure shared
  closure=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
    --no-replaces --no-enhances "$@" 2>/dev/null | sed -n 's/^\([^ <][^ ]*\):i386$/\1/p' | sort -u)
  [ -n "$closure" ] || return 0
  shared=$(dpkg-query -W -f='${Package} ${Architecture} ${Multi-Arch} ${db:Status-Abbrev}\n' \
    $closure 2>/dev/null | awk '$2 == "amd64" && $3 == "same" && $4 ~ /^ii/ { print $1 }')
  [ -n "$shared" ] || return 0
  # The version table of each: "NAME:" (amd64, the native one) or "NAME:i386:", then a line per
  # version, "*** " before the installed one, with its priority last.
  apt-cache policy $(printf '%s:amd64 ' $shared) $(printf '%s:i386 ' $shared) 2>/dev/null | awk '
    /^[^ ].*:$/ { key = substr($0, 1, length($0) - 1); arch = "amd64"
                  if (key ~ /:i386$/) { arch = "i386"; sub(/:i386$/, "", key) }; next }
    /^  Installed:/ { if (arch == "amd64") have[key] = $2; next }
    /^  Candidate:/ { if (arch == "amd64") want[key] = $2; next }
    /^ (\*\*\*|   ) [^ ]+ [0-9]+$/ { version = $(NF - 1)
                  if (arch == "i386") all386[key] = all386[key] " " version
                  if ($NF >= 500) offer[key " " arch] = offer[key " " arch] " " version }
    END {
      for (p in have) {
        if (index(all386[p] " ", " " have[p] " ") && index(all386[p] " ", " " want[p] " ")) continue
        n = split(offer[p " i386"], v386, " "); both = ""
        for (i = 1; i <= n; i++)
          if (index(offer[p " amd64"] " ", " " v386[i] " ")) both = both " " v386[i]
        print p, have[p], both
      }
    }' | while read -r name version both; do
    local newest=- candidate
    for candidate in $both; do
      if [ "$newest" = - ] || dpkg --compare-versions "$candidate" gt "$newest"; then
        newest=$candidate
      fi
    done
    echo "$name $version $newest"
  done
}

# Adds to the "NAME INSTALLED NEWEST" lines of the packages that move the installed packages
# built from the same sources: those often require the library at exactly their own version
# (libssl-dev and libssl3), and apt would otherwise remove them rather than move them too.
with_siblings() {
  { cat; echo; dpkg-query -W -f='${Package} ${source:Package} ${Version} ${db:Status-Abbrev}\n'; } |
    awk 'stage == 0 && NF == 0 { stage = 1; next }
         stage == 0 { print; seen[$1] = 1; if ($3 != "-") moving[$1] = $3; next }
         $4 ~ /^ii/ { source[$1] = $2; line[$1] = $1 " " $3 }
         END {
           for (p in moving) to[source[p]] = moving[p]
           for (p in source) if (!(p in seen) && (source[p] in to)) print line[p], to[source[p]]
         }'
}

# Installs the i386 packages named. When apt cannot resolve them because amd64 libraries that
# both architectures share ("Multi-Arch: same") have installed or candidate versions with no
# i386 build in the indexes that arrived, those libraries (and the installed packages of their
# sources) move, both architectures together, to the newest version that both have: a version
# pin for exactly those packages, for this install only. Never removes a package; says in one
# line how many moved and which way.
install_i386() {
  if apt_get install -s -y -qq --no-remove "$@" >/dev/null 2>&1; then
    apt_get install -y -qq --no-remove "$@" >/dev/null
    return
  fi
  local moving stuck status=0 up=0 down=0 name version newest now
  moving=$(i386_blockers "$@" | with_siblings)
  stuck=$(awk '$3 == "-" { printf " %s", $1 }' <<<"$moving")
  [ -z "$stuck" ] || say "no version that both architectures have of:$stuck"
  awk '$3 != "-" { printf "Package: %s\nPin: version %s\nPin-Priority: 1001\n\n", $1, $3 }' \
    <<<"$moving" | as_root tee "$PINS" >/dev/null
  trap 'as_root rm -f "$PINS"' EXIT
  apt_get install -y -qq --no-remove --allow-downgrades "$@" >/dev/null || status=$?
  as_root rm -f "$PINS"
  trap - EXIT
  [ "$status" -eq 0 ] || return "$status"
  while read -r name version newest; do
    now=$(dpkg-query -W -f='${Version}\n' "$name" 2>/dev/null | head -n 1)
    [ -n "$name" ] && [ "$newest" != - ] && [ "$now" = "$newest" ] && [ "$now" != "$version" ] ||
      continue
    if dpkg --compare-versions "$now" gt "$version"; then up=$((up + 1)); else down=$((down + 1)); fi
  done <<<"$moving"
  echo "wine32.sh: $((up + down)) installed packages moved to versions that i386 has too" \
    "($up up, $down down), none removed"
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
    apt_update wine32 || { say "not set up: apt-get update failed"; return 0; }
  fi
  if [ ! -x "$WINE32" ]; then
    install_i386 wine32:i386 || say "could not install wine32:i386"
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
