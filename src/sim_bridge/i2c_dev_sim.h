// The kernel's i2c-dev interface, emulated in front of the simulated bridge.
#pragma once

#include "i2c_dev.h"

namespace sim_bridge {
extern const i2c_dev_syscalls emulated_i2c_dev;
}
