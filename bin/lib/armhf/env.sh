# Paths and settings shared by the armhf build and test steps; sourced.
# Everything for armhf lives under build/armhf, apart from the host's own
# build in build/Release, which the armhf steps never touch.
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)"
armhf="$root/build/armhf"
triplet=arm-linux-gnueabihf
# The Debian armhf Node and its headers, unpacked from their packages (a
# dpkg install would replace the machine's own Node).
noderoot="$armhf/node"
nodedir="$noderoot/usr"
arm_node="$noderoot/usr/bin/node"
arm_libs="$noderoot/usr/lib/$triplet"
# A copy of the project whose build/Release holds the ARM add-ons, so that
# require('.') and require('./sim') there load them.
tree="$armhf/tree"
core_build="$armhf/core"
# How an ARM Node is started here: the emulator, with the library path of
# the unpacked packages given to the emulated program only.
launcher="qemu-arm -E LD_LIBRARY_PATH=$arm_libs $arm_node"
# The build defines of a 32-bit target with 64-bit times and file offsets.
time64_defines="-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64"
say() { echo "qel-test-armhf: $*"; }
