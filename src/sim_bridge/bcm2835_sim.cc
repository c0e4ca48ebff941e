// The bcm2835 library's functions that the driver calls, answered by the
// simulated I2C controller, so that the driver's bcm2835 backend runs
// unchanged in front of the simulated bridge. Compiled against the
// library's own installed header.
#include <bcm2835.h>

#include "bus.h"
#include "sim_bridge.h"

static_assert(BUS_OK == BCM2835_I2C_REASON_OK && BUS_NACK == BCM2835_I2C_REASON_ERROR_NACK &&
                  BUS_CLKT == BCM2835_I2C_REASON_ERROR_CLKT && BUS_DATA == BCM2835_I2C_REASON_ERROR_DATA,
              "the driver's bus codes are the library's reason codes");

int bcm2835_init(void) { return sim_bridge::controller_init() ? 1 : 0; }

int bcm2835_close(void) {
    sim_bridge::controller_close();
    return 1;
}

int bcm2835_i2c_begin(void) { return sim_bridge::controller_begin() ? 1 : 0; }
void bcm2835_i2c_end(void) { sim_bridge::controller_end(); }
void bcm2835_i2c_setSlaveAddress(uint8_t addr) { sim_bridge::controller_address(addr); }
void bcm2835_i2c_setClockDivider(uint16_t divider) { sim_bridge::controller_divider(divider); }

uint8_t bcm2835_i2c_write(const char *buf, uint32_t len) {
    return sim_bridge::controller_write(reinterpret_cast<const uint8_t *>(buf), len);
}

uint8_t bcm2835_i2c_read(char *buf, uint32_t len) {
    return sim_bridge::controller_read(reinterpret_cast<uint8_t *>(buf), len);
}
