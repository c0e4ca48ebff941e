// The simulated flavour reaches its bridge through the driver's bcm2835
// backend, or with QEL_SIM_BUS=i2c-dev through the kernel backend, whose
// system calls the emulation of i2c-dev answers. Built where the bcm2835
// library's header is not installed, it has the kernel backend only.
#include <cstdlib>
#include <cstring>

#include "bus.h"
#include "i2c_dev.h"
#include "i2c_dev_sim.h"

#ifdef QEL_SIM_BCM2835
static const bus_ops *const usual_bus = &bcm2835_bus;
#else
static const bus_ops *const usual_bus = &i2c_dev_bus;
#endif

// Chosen at start-up, before the driver threads exist.
static const bus_ops *bus = usual_bus;

void bus_choose() {
    i2c_dev_use(&sim_bridge::emulated_i2c_dev);
    const char *which = getenv("QEL_SIM_BUS");
    bus = which != nullptr && strcmp(which, "i2c-dev") == 0 ? &i2c_dev_bus : usual_bus;
}

int bus_open() { return bus->open(); }
void bus_close() { bus->close(); }
uint8_t bus_read(uint8_t *bytes, uint32_t len) { return bus->read(bytes, len); }
uint8_t bus_write(const uint8_t *bytes, uint32_t len) { return bus->write(bytes, len); }
