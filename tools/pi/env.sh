# Paths and settings of the emulated Raspberry Pi 3 B runs (tools/qel-test-pi),
# sourced by the scripts beside this file. Everything they download, unpack
# or build lives under build/pi; the add-ons and Debian's arm64 Node come
# from the arm64 platform build (tools/platform, build/arm64).
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
lib_pi="$root/tools/pi"
pi="$root/build/pi"
say() { echo "qel-test-pi: $*"; }

export QEL_PLATFORM=arm64 QEL_NODE=debian
# The add-ons' copy of the project (build/arm64/tree) and its Node.
. "$root/tools/platform/env.sh"
say() { echo "qel-test-pi: $*"; }

# QEMU's raspi3b has the BSC I2C controllers since 9.0; bookworm has 7.2,
# its backports 10.
backports=bookworm-backports
stock_qemu=/usr/bin/qemu-system-aarch64
# The QEMU built from Debian's source package with the controller patch
# and the bridge model.
qemu_src="$pi/qemu-src"
qemu_build="$pi/qemu-build"
patched_qemu="$qemu_build/qemu-system-aarch64"

# Debian's arm64 kernel (the one bookworm's linux-image-arm64 names) with
# its modules and device trees, and the guest's tools.
kernel_root="$pi/kernel"
debs="$pi/debs"
guest_packages=(busybox-static libc-bin can-utils coreutils)
dtb_pi3="$pi/rpi-3-b.dtb"
dtb_pi5="$pi/rpi-5-model.dtb"
initramfs="$pi/initramfs.cpio"
# Where the guest finds the project: a fixed path outside /tmp, which the
# guest mounts a tmpfs over, whatever folder the clone is in on the host.
guest_tree=/opt/corvalith
apt_options=(-o DPkg::Lock::Timeout=600)
