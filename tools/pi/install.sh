#!/usr/bin/env bash
# Installs what the emulated Raspberry Pi of one board (env.sh) needs: QEMU
# 10 from Debian's backports (bookworm's 7.2 has no I2C controller on
# raspi3b), the device tree compiler, the board's add-ons with Debian's Node
# of its architecture (the platform scripts), and, unpacked under
# build/pi/BOARD and never installed into the host, Debian's kernel of that
# architecture and the guest's busybox and libc tools.
# Idempotent and quiet when everything is in place. Needs root.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/env.sh"

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

apt_install device-tree-compiler cpio
apt_install -t "$backports" qemu-system-arm

# ------------------------------------------- the board's add-ons and Node
bash "$root/tools/platform/install.sh"

# ------------------------------------------------------ the guest's parts
# The kernel package that bookworm's linux-image-arm64 (or -armmp) points at.
kernel_of() { apt-cache depends "$kernel_meta:$deb_arch" 2>/dev/null | awk '/Depends: linux-image-/ && !found { print $2; found = 1 }'; }
kernel_package="$(kernel_of)"
if [ -z "$kernel_package" ]; then
  apt_update
  kernel_package="$(kernel_of)"
fi
[ -n "$kernel_package" ] || { say "apt knows no $kernel_meta:$deb_arch"; exit 1; }
want="$kernel_package ${guest_packages[*]}"
if [ "$(cat "$board_dir/.guest-packages" 2>/dev/null)" != "$want" ]; then
  say "unpacking $kernel_package, ${guest_packages[*]} ($deb_arch) under $board_dir"
  rm -rf "$debs" "$kernel_root"
  mkdir -p "$debs" "$kernel_root"
  # apt's download user must be able to write here.
  chown _apt "$debs" 2>/dev/null || true
  (cd "$debs" && apt_try download -qq "$kernel_package" "${guest_packages[@]/%/:$deb_arch}")
  dpkg-deb -x "$debs"/linux-image-*.deb "$kernel_root"
  mkdir -p "$debs/guest"
  for deb in "$debs"/*.deb; do
    case "${deb##*/}" in linux-image-*) ;; *) dpkg-deb -x "$deb" "$debs/guest" ;; esac
  done
  rm -f "$debs"/*.deb
  echo "$want" > "$board_dir/.guest-packages"
fi
