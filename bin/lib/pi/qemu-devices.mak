# The devices of the QEMU that bin/qel-test-pi builds: the Raspberry Pi
# boards and the EEPROM that stands in for the bridge on their I2C bus.
CONFIG_RASPI=y
CONFIG_AT24C=y
