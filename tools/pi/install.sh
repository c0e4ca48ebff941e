#!/usr/bin/env bash
# Installs what the emulated Raspberry Pi needs: QEMU 10 from Debian's
# backports (bookworm's 7.2 has no I2C controller on raspi3b), the device
# tree compiler, the arm64 add-ons with Debian's arm64 Node (the platform
# scripts), and, unpacked under build/pi and never installed into the host,
# Debian's arm64 kernel and the guest's busybox and libc tools.
# Idempotent and quiet when everything is in place. Needs root.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/env.sh"

apt_updated=0
apt_update() {
  [ "$apt_updated" = 0 ] || return 0
  apt-get "${apt_options[@]}" update -qq >/dev/null
  apt_updated=1
}

# Packages from `release` (empty: the default) that are not installed yet.
apt_install() {
  local release="$1" missing=() p log
  shift
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ "${#missing[@]}" -gt 0 ] || return 0
  say "installing ${missing[*]}${release:+ from $release}"
  apt_update
  log="$(mktemp)"
  if ! DEBIAN_FRONTEND=noninteractive apt-get "${apt_options[@]}" install -y -qq --no-install-recommends \
      ${release:+-t "$release"} "${missing[@]}" >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    exit 1
  fi
  rm -f "$log"
}

# ------------------------------------------------------------ backports
# Binary and source packages: the QEMU build starts from the source package.
if ! grep -rqs "$backports" /etc/apt/sources.list /etc/apt/sources.list.d/; then
  say "adding Debian's $backports to apt's sources"
  cat > /etc/apt/sources.list.d/qel-$backports.sources <<SOURCES
Types: deb deb-src
URIs: http://deb.debian.org/debian
Suites: $backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
  apt_updated=0
  apt_update
fi

apt_install "" device-tree-compiler cpio
apt_install "$backports" qemu-system-arm

# ------------------------------------------- the arm64 add-ons and Node
bash "$root/tools/platform/install.sh"

# ------------------------------------------------------ the guest's parts
# The kernel package that bookworm's linux-image-arm64 points at.
kernel_package="$(apt-cache depends linux-image-arm64:arm64 2>/dev/null | awk '/Depends: linux-image-/ && !found { print $2; found = 1 }')"
if [ -z "$kernel_package" ]; then
  apt_update
  kernel_package="$(apt-cache depends linux-image-arm64:arm64 | awk '/Depends: linux-image-/ && !found { print $2; found = 1 }')"
fi
want="$kernel_package ${guest_packages[*]}"
if [ "$(cat "$pi/.guest-packages" 2>/dev/null)" != "$want" ]; then
  say "unpacking $kernel_package, ${guest_packages[*]} (arm64) under $pi"
  rm -rf "$debs" "$kernel_root"
  mkdir -p "$debs" "$kernel_root"
  # apt's download user must be able to write here.
  chown _apt "$debs" 2>/dev/null || true
  (cd "$debs" && apt-get download -qq "$kernel_package" "${guest_packages[@]/%/:arm64}" >/dev/null)
  dpkg-deb -x "$debs"/linux-image-*.deb "$kernel_root"
  mkdir -p "$debs/guest"
  for deb in "$debs"/*.deb; do
    case "${deb##*/}" in linux-image-*) ;; *) dpkg-deb -x "$deb" "$debs/guest" ;; esac
  done
  rm -f "$debs"/*.deb
  echo "$want" > "$pi/.guest-packages"
fi
