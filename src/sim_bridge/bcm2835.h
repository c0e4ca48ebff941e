// The part of the bcm2835 library's interface that the driver uses, as the
// simulated bridge provides it. Builds against the simulated bridge find
// this file before the library's own header, so the simulated flavour and
// the core's test programs build where the library is not installed.
#pragma once

#include <cstdint>

enum bcm2835I2CReasonCodes {
    BCM2835_I2C_REASON_OK = 0x00,
    BCM2835_I2C_REASON_ERROR_NACK = 0x01,
    BCM2835_I2C_REASON_ERROR_CLKT = 0x02,
    BCM2835_I2C_REASON_ERROR_DATA = 0x04,
};

extern "C" {
int bcm2835_init(void);
int bcm2835_close(void);
int bcm2835_i2c_begin(void);
void bcm2835_i2c_end(void);
void bcm2835_i2c_setSlaveAddress(uint8_t addr);
void bcm2835_i2c_setClockDivider(uint16_t divider);
uint8_t bcm2835_i2c_write(const char *buf, uint32_t len);
uint8_t bcm2835_i2c_read(char *buf, uint32_t len);
}
