# Paths and settings of the emulated Raspberry Pi runs (tools/qel-test-pi),
# sourced by the scripts beside this file, for one board:
#   QEL_PI_BOARD  pi3 (default): a Raspberry Pi 3 B with Debian's arm64
#                 kernel, Node and add-ons (the arm64 platform)
#                 pi2: a Raspberry Pi 2 B with Debian's armhf kernel (armmp),
#                 Node and add-ons (the armhf platform), and the package's
#                 ARMv6 prebuilt add-ons (the armv6 platform's build)
# Everything they download, unpack or build lives under build/pi (the
# QEMU, shared by the boards) and build/pi/BOARD; the add-ons and Debian's
# Node come from the platform build (tools/platform, build/arm64 or
# build/armhf).
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
lib_pi="$root/tools/pi"
pi="$root/build/pi"
board="${QEL_PI_BOARD:-pi3}"

# machine: QEMU's; kernel_meta: the package whose dependency is the kernel;
# dtb_name: Debian's device tree of the board, under the kernel's folder;
# tcg: how QEMU runs the four cores. One thread for all four suits the
# Pi 3 (the multi-threaded default spends its time waiting for the host's
# cores, which other work shares); the Pi 2's armmp kernel never starts
# its init that way (it waits for ever before freeing its start-up
# memory), so each of its cores gets a thread.
case "$board" in
  pi3) platform_of_board=arm64 machine=raspi3b kernel_meta=linux-image-arm64 dtb_name=bcm2837-rpi-3-b.dtb tcg=tcg,thread=single ;;
  pi2) platform_of_board=armhf machine=raspi2b kernel_meta=linux-image-armmp dtb_name=bcm2836-rpi-2-b.dtb tcg=tcg,thread=multi ;;
  *) echo "unknown board '$board': pi3 or pi2" >&2; exit 2 ;;
esac

export QEL_PLATFORM="$platform_of_board" QEL_NODE=debian
# The add-ons' copy of the project (build/<platform>/tree), its Node, and
# the platform's triplet and Debian architecture.
. "$root/tools/platform/env.sh"
say() { echo "qel-test-pi: $*"; }
board_dir="$pi/$board"

# QEMU's raspi3b has the BSC I2C controllers since 9.0; bookworm has 7.2,
# its backports 10. The 64-bit QEMU runs the 32-bit boards too.
backports=bookworm-backports
stock_qemu=/usr/bin/qemu-system-aarch64
# The QEMU built from Debian's source package with the controller patch
# and the bridge model.
qemu_src="$pi/qemu-src"
qemu_build="$pi/qemu-build"
patched_qemu="$qemu_build/qemu-system-aarch64"

# Debian's kernel of the board with its modules and device trees, and the
# guest's tools, of the board's architecture.
kernel_root="$board_dir/kernel"
debs="$board_dir/debs"
guest_packages=(busybox-static libc-bin can-utils coreutils)
dtb_board="$board_dir/$board.dtb"
dtb_pi5="$board_dir/rpi-5-model.dtb"
initramfs="$board_dir/initramfs.cpio"
# The package's ARMv6 prebuilt add-ons, for Node 18's module ABI as the
# package ships them (prebuilds/linux-arm), made from the armv6 platform's
# build with Debian's Node 18 headers.
armv6_tree="$root/build/armv6/tree"
# Where the guest finds the project: a fixed path outside /tmp, which the
# guest mounts a tmpfs over, whatever folder the clone is in on the host.
guest_tree=/opt/corvalith
. "$root/tools/apt.sh"

# The modes of each board, in the order a run boots them. A mode is the
# test file's (QEL_PI_MODE), with "-armv6" for the same tests on the
# ARMv6 prebuilt add-ons.
board_modes() {
  case "$1" in
    pi3) echo kernel bcm2835 stock pi5 ;;
    pi2) echo kernel bcm2835 kernel-armv6 bcm2835-armv6 ;;
  esac
}
