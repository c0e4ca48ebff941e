// The simulated flavour reaches its bridge through the bcm2835-shaped API,
// or with QEL_SIM_BUS=i2c-dev through the kernel backend, whose system calls
// the emulation of i2c-dev answers.
#include <cstdlib>
#include <cstring>

#include "bus.h"
#include "i2c_dev_sim.h"

const bus_ops *bus = &bcm2835_bus;

void bus_choose() {
    const char *which = getenv("QEL_SIM_BUS");
    if (which == nullptr || strcmp(which, "i2c-dev") != 0) return;
    i2c_dev_sys = &sim_bridge::emulated_i2c_dev;
    bus = &i2c_dev_bus;
}
