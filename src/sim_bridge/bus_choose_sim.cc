// The simulated flavour reaches its bridge through the bcm2835 backend,
// which drives the simulated controller, or with QEL_SIM_BUS=i2c-dev
// through the kernel backend, whose system calls the emulation of i2c-dev
// answers.
#include <cstdlib>
#include <cstring>

#include "bus.h"
#include "i2c_dev.h"
#include "i2c_dev_sim.h"

// Chosen at start-up, before the driver threads exist.
static const bus_ops *bus = &bcm2835_bus;

void bus_choose() {
    const char *which = getenv("QEL_SIM_BUS");
    if (which == nullptr || strcmp(which, "i2c-dev") != 0) return;
    i2c_dev_use(&sim_bridge::emulated_i2c_dev);
    bus = &i2c_dev_bus;
}

int bus_open() { return bus->open(); }
void bus_close() { bus->close(); }
uint8_t bus_read(uint8_t *bytes, uint32_t len) { return bus->read(bytes, len); }
uint8_t bus_write(const uint8_t *bytes, uint32_t len) { return bus->write(bytes, len); }
