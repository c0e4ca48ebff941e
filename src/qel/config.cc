#include "config.h"

#include <cstring>

// A global array cannot be initialised from another one, so the flags at
// load are written once here and used for both.
#define QEL_ENABLED_AT_LOAD {1, 1, 1, 0, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0}
#define QEL_CYCLIC_AT_LOAD {1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}

const int32_t default_i2c_delay = 50000;
const int32_t default_can_bus_delay = 20000;
const int32_t default_hb_delay = 500000;
const int32_t default_deb_delay = 2000;
const int32_t default_enabled[14] = QEL_ENABLED_AT_LOAD;
const int32_t default_cyclic[14] = QEL_CYCLIC_AT_LOAD;

int32_t i2c_delay = default_i2c_delay;
int32_t can_bus_delay = default_can_bus_delay;
int32_t hb_delay = default_hb_delay;
int32_t deb_delay = default_deb_delay;
int32_t is_enabled[14] = QEL_ENABLED_AT_LOAD;
int32_t is_cyclic[14] = QEL_CYCLIC_AT_LOAD;
bool debug_log = false;

#undef QEL_ENABLED_AT_LOAD
#undef QEL_CYCLIC_AT_LOAD

void restore_settings() {
    i2c_delay = default_i2c_delay;
    can_bus_delay = default_can_bus_delay;
    hb_delay = default_hb_delay;
    deb_delay = default_deb_delay;
    memcpy(is_enabled, default_enabled, sizeof is_enabled);
    memcpy(is_cyclic, default_cyclic, sizeof is_cyclic);
    debug_log = false;
}

const uint8_t slave_address = 0x25;
const uint16_t clk_div = 626;
const int32_t frame_len = 16;
