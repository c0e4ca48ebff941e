#include "config.h"

int32_t i2c_delay = 50000;
int32_t can_bus_delay = 20000;
int32_t hb_delay = 500000;
int32_t deb_delay = 2000;
int32_t is_enabled[14] = {1, 1, 1, 0, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0};
int32_t is_cyclic[14] = {1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
bool debug_log = false;

const uint8_t slave_address = 0x25;
const uint16_t clk_div = 626;
const int32_t frame_len = 16;
