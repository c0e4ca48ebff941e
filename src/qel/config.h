// The driver's configuration: the settings of driverStart and the fixed
// link settings. Every other unit reads them; this one depends on none.
#pragma once

#include <cstdint>

// Written only by driverStart; who reads them and why without a lock:
// threads.h.
extern int32_t i2c_delay;      // us, pause after each register access
extern int32_t can_bus_delay;  // us, pause between receive polls
extern int32_t hb_delay;       // us, heartbeat period; below 1 disables it
extern int32_t deb_delay;      // ms, debounce window
extern int32_t is_enabled[14];
extern int32_t is_cyclic[14];
extern bool debug_log;

// The settings as the module is loaded, by position of the slot for the
// flags; restore_settings() puts them back, and the facts export shows them.
extern const int32_t default_i2c_delay;
extern const int32_t default_can_bus_delay;
extern const int32_t default_hb_delay;
extern const int32_t default_deb_delay;
extern const int32_t default_enabled[14];
extern const int32_t default_cyclic[14];

// Puts every setting back to its value when the module was loaded.
void restore_settings();

extern const uint8_t slave_address;
extern const uint16_t clk_div;
extern const int32_t frame_len;
