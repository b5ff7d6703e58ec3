# shellcheck shell=bash
# Shared by the set-up scripts (sourced, not run): root rights, apt-get with a long lock wait,
# and an index update that survives an archive out of sync.

as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  elif command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
    sudo "$@"
  else
    return 1
  fi
}

# Another apt-get (a developer's own) may hold the lock for a while: wait for it.
apt_get() { as_root env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 "$@"; }

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# Tries and pause of apt_update; a mirror sync in progress heals within minutes.
APT_UPDATE_TRIES=${APT_UPDATE_TRIES:-3}
APT_UPDATE_PAUSE=${APT_UPDATE_PAUSE:-20}

# apt-get update that is not ended by index files that fail to arrive (an index that does not
# match its Release file while the mirror syncs): it tries again a few times, then goes on with
# what arrived and names, in one line on standard error, what is missing. Fails only when no
# try reached the archive at all or root rights are missing. $1 names the caller in that line.
apt_update() {
  local who=$1 try=1 log missing
  log=$(mktemp)
  while :; do
    if apt_get update -qq >"$log" 2>&1; then
      rm -f "$log"
      return 0
    fi
    # "E: Failed to fetch URL  reason": the index files that did not arrive, as suite paths.
    missing=$(sed -n 's/^E: Failed to fetch [a-z]*:\/\/[^ ]*\/dists\/\([^ ]*\) .*/\1/p' "$log" | sort -u)
    if [ -z "$missing" ]; then
      echo "$who: apt-get update failed: $(grep -m1 '^E:' "$log" || tail -n 1 "$log")" >&2
      rm -f "$log"
      return 1
    fi
    [ "$try" -ge "$APT_UPDATE_TRIES" ] && break
    try=$((try + 1))
    sleep "$APT_UPDATE_PAUSE"
  done
  rm -f "$log"
  echo "$who: going on without index files that did not arrive after $try tries:" $missing >&2
  return 0
}
