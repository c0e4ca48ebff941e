# The devices of the QEMU that tools/qel-test-pi builds: the Raspberry Pi
# boards, what their SoC model creates without selecting it, and the
# bridge model (qel_bridge.c) on their I2C bus.
CONFIG_RASPI=y
CONFIG_OR_IRQ=y
CONFIG_UNIMP=y
CONFIG_SD=y
CONFIG_QEL_BRIDGE=y
