// A simulated CAN bridge on a simulated I2C bus.
//
// It behaves as the bridge the driver expects, behind an I2C controller
// that both ways to the bus reach (the bcm2835 backend drives it as
// `bcm2835_controller`, i2c_dev_sim.cc answers the kernel's system calls
// with it): it answers register reads and writes, returns
// one queued CAN frame per 16-byte read once the receive register 0x40 is
// selected (an empty frame, length code 0xFF, when none is queued; sixteen
// bytes of 0xFF, as from a bus nobody drives, before it is), and
// records every write. Faults and the bus speed can be set at any time from
// another thread.
#pragma once

#include <cstdint>
#include <vector>

namespace sim_bridge {

struct write_record {
    std::vector<uint8_t> bytes;
    uint8_t code;
    double time;  // ms on the clock of now()
};

struct bridge_state {
    bool initialized;
    bool i2c_open;
    uint8_t slave_address;
    uint16_t clock_divider;
    uint64_t overlaps;
};

void reset();
void receive(const uint8_t frame[16], uint64_t repeat);
uint64_t pending();
std::vector<write_record> writes();
uint64_t reads();
void fail_init(bool on);
void fail_begin(bool on);
void baud_readback(const std::vector<uint8_t> &values);
void fail_reads(uint64_t count, uint8_t code);
void fail_writes(uint64_t count, uint8_t code);
void fail_select(uint8_t code);
// The bridge loses power and comes back: no register selected and the bit
// rate register at 0, as after power-on; queued frames stay.
void power_cycle();
void bus_speed(double hz);
bridge_state state();
double now();

// The I2C controller. Transfers answer with bus.h's codes.
bool controller_init();  // false while fail_init is on
void controller_close();
bool controller_begin();  // false before init, or while fail_begin is on
void controller_end();
void controller_address(uint8_t addr);
void controller_divider(uint16_t divider);
uint8_t controller_write(const uint8_t *bytes, uint32_t len);
uint8_t controller_read(uint8_t *bytes, uint32_t len);

}  // namespace sim_bridge
