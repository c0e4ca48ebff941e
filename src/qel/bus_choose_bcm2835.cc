// The real flavour: the bcm2835 backend on the bcm2835 library.
#include <bcm2835.h>

#include "bus.h"

static_assert(BUS_OK == BCM2835_I2C_REASON_OK && BUS_NACK == BCM2835_I2C_REASON_ERROR_NACK &&
                  BUS_CLKT == BCM2835_I2C_REASON_ERROR_CLKT && BUS_DATA == BCM2835_I2C_REASON_ERROR_DATA,
              "the driver's bus codes are the library's reason codes");

const bcm2835_controller_ops bcm2835_controller = {
    [] { return bcm2835_init() != 0; },
    [] { bcm2835_close(); },
    [] { return bcm2835_i2c_begin() != 0; },
    [] { bcm2835_i2c_end(); },
    [](uint8_t addr) { bcm2835_i2c_setSlaveAddress(addr); },
    [](uint16_t divider) { bcm2835_i2c_setClockDivider(divider); },
    [](const uint8_t *bytes, uint32_t len) { return bcm2835_i2c_write(reinterpret_cast<const char *>(bytes), len); },
    [](uint8_t *bytes, uint32_t len) { return bcm2835_i2c_read(reinterpret_cast<char *>(bytes), len); },
};

static const bus_ops &bus = bcm2835_bus;

void bus_choose() {}
int bus_open() { return bus.open(); }
void bus_close() { bus.close(); }
uint8_t bus_read(uint8_t *bytes, uint32_t len) { return bus.read(bytes, len); }
uint8_t bus_write(const uint8_t *bytes, uint32_t len) { return bus.write(bytes, len); }
