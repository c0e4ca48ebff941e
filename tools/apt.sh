# Debian's package archive, for the set-up scripts (sourced; the caller
# defines say). A mirror caught in the middle of a sync answers a list or a
# package of another size than its index promised: such fetches are tried
# again after a pause instead of ending a run of an hour. Lists that stay
# short of one file are used as they are; an install that needs a package
# they lack still fails, with apt's reason.

apt_options=(-o DPkg::Lock::Timeout=600 -o Acquire::Retries=4)
apt_updated=0

# Runs apt-get with its arguments; a fetch that failed is tried again, up
# to three times with growing pauses. Its output is shown when it fails.
apt_try() {
  local try log
  log="$(mktemp)"
  for try in 1 2 3; do
    if DEBIAN_FRONTEND=noninteractive apt-get "${apt_options[@]}" "$@" >"$log" 2>&1; then
      rm -f "$log"
      return 0
    fi
    grep -qE 'Failed to fetch|unexpected size|Hash Sum mismatch|Temporary failure|Could not connect|Connection failed' "$log" || break
    [ "$try" = 3 ] || { say "apt-get $1 could not fetch everything (try $try of 3), again in $((try * 15)) s"; sleep $((try * 15)); }
  done
  cat "$log" >&2
  rm -f "$log"
  return 1
}

# Refreshes the package lists once per run (again after apt_updated=0).
apt_update() {
  [ "$apt_updated" = 0 ] || return 0
  apt_try update -qq || say "apt-get update did not complete: going on with the lists as they are"
  apt_updated=1
}

# apt_install [-t RELEASE] PACKAGE...: those not installed yet.
apt_install() {
  local release=() missing=() p
  if [ "${1:-}" = -t ]; then release=(-t "$2"); shift 2; fi
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ "${#missing[@]}" -gt 0 ] || return 0
  say "installing ${missing[*]}${release:+ from ${release[1]}}"
  apt_update
  apt_try install -y -qq --no-install-recommends "${release[@]}" "${missing[@]}" && return 0
  apt_match_host "${missing[@]}" || return 1
  apt_try install -y -qq --no-install-recommends "${release[@]}" "${missing[@]}"
}

# A library of another architecture installs beside the machine's own only
# in the same version. Where the lists of that architecture lack the
# machine's version (a security list the mirror could not give), the
# packages of that version are fetched from the archive's pools into a
# local archive that apt then prefers. False when none was missing.
apt_match_host() {
  local dir=/var/lib/qel-apt closure p arch host src version file url found=0
  mkdir -p "$dir"
  closure="$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
    --no-replaces --no-enhances "$@" 2>/dev/null | grep -E '^[a-z0-9].*:[a-z0-9]+$' | sort -u)"
  for p in $closure; do
    arch="${p##*:}"
    host="$(dpkg-query -W -f='${Multi-Arch} ${source:Package} ${Version}' "${p%:*}:$(dpkg --print-architecture)" 2>/dev/null)" || continue
    read -r _ src version <<<"$host"
    [ "${host%% *}" = same ] || continue
    [ "$(apt-cache policy "$p" | awk '/Candidate:/ { print $2 }')" != "$version" ] || continue
    file="${p%:*}_${version#*:}_$arch.deb"
    case "$src" in lib?*) src="${src:0:4}/$src" ;; *) src="${src:0:1}/$src" ;; esac
    for url in "http://deb.debian.org/debian-security/pool/updates/main/$src/$file" "http://deb.debian.org/debian/pool/main/$src/$file"; do
      curl -fsS --retry 3 -o "$dir/$file" "$url" 2>/dev/null && { found=1; break; }
    done
    [ -f "$dir/$file" ] && say "$p: the machine's version $version, from the pool" ||
      say "$p: the machine's version $version is neither in the lists nor in the pools"
  done
  [ "$found" = 1 ] || return 1
  (cd "$dir" && for file in *.deb; do
    dpkg-deb -f "$file"
    printf 'Filename: ./%s\nSize: %s\nSHA256: %s\n\n' "$file" "$(stat -c %s "$file")" "$(sha256sum "$file" | cut -d' ' -f1)"
  done > Packages)
  echo "deb [trusted=yes] file:$dir ./" > /etc/apt/sources.list.d/qel-host-versions.list
  apt_try update -qq -o Dir::Etc::sourcelist=sources.list.d/qel-host-versions.list \
    -o Dir::Etc::sourceparts=- -o APT::Get::List-Cleanup=0
}
