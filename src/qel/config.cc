#include "config.h"

#include <cstring>

namespace {

constexpr int32_t I2C_DELAY = 50000;
constexpr int32_t CAN_BUS_DELAY = 20000;
constexpr int32_t HB_DELAY = 500000;
constexpr int32_t DEB_DELAY = 2000;
constexpr int32_t IS_ENABLED[14] = {1, 1, 1, 0, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0};
constexpr int32_t IS_CYCLIC[14] = {1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

}  // namespace

int32_t i2c_delay = I2C_DELAY;
int32_t can_bus_delay = CAN_BUS_DELAY;
int32_t hb_delay = HB_DELAY;
int32_t deb_delay = DEB_DELAY;
int32_t is_enabled[14] = {1, 1, 1, 0, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0};
int32_t is_cyclic[14] = {1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
bool debug_log = false;

void restore_settings() {
    i2c_delay = I2C_DELAY;
    can_bus_delay = CAN_BUS_DELAY;
    hb_delay = HB_DELAY;
    deb_delay = DEB_DELAY;
    memcpy(is_enabled, IS_ENABLED, sizeof is_enabled);
    memcpy(is_cyclic, IS_CYCLIC, sizeof is_cyclic);
    debug_log = false;
}

const uint8_t slave_address = 0x25;
const uint16_t clk_div = 626;
const int32_t frame_len = 16;
