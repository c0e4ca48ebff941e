// The transfers to the bridge, whichever way the flavour reaches the I2C
// bus: the bcm2835 library (the controller's registers through /dev/mem) or
// the kernel's i2c-dev interface (/dev/i2c-N).
//
// Every transfer answers with one of the bcm2835 library's 8-bit reason
// codes, 0 for success, so the rest of the driver reports a failure the same
// way on either path.
#pragma once

#include <cstdint>

constexpr uint8_t BUS_OK = 0x00;
constexpr uint8_t BUS_NACK = 0x01;  // the bridge did not acknowledge
constexpr uint8_t BUS_CLKT = 0x02;  // clock stretched beyond the timeout
constexpr uint8_t BUS_DATA = 0x04;  // not every byte was transferred

struct bus_ops {
    // Opens the bus and addresses the bridge, printing the start-up lines up
    // to the clock line, or the reason it could not; 0 on success.
    int (*open)();
    void (*close)();
    uint8_t (*read)(uint8_t *bytes, uint32_t len);
    uint8_t (*write)(const uint8_t *bytes, uint32_t len);
};

extern const bus_ops bcm2835_bus;
extern const bus_ops i2c_dev_bus;

// The I2C controller as the bcm2835 backend drives it, from whichever
// flavour links that backend: the bcm2835 library in qel.node
// (bus_choose_bcm2835.cc), the simulated controller in the simulated one.
struct bcm2835_controller_ops {
    bool (*init)();   // maps the peripherals
    void (*close)();
    bool (*begin)();  // takes the I2C pins and the controller
    void (*end)();
    void (*address)(uint8_t addr);
    void (*divider)(uint16_t divider);
    uint8_t (*write)(const uint8_t *bytes, uint32_t len);
    uint8_t (*read)(uint8_t *bytes, uint32_t len);
};
extern const bcm2835_controller_ops bcm2835_controller;

// A backend's open tells why it failed: the errno of the system call and
// its name ("open", "ioctl"); start-up resets it with (0, null) and reads
// it back when the open fails (0: no system call failed, or the flavour's
// open makes none). Main thread only.
void bus_open_failed(int err, const char *syscall);
int bus_open_error(const char **syscall);

// A failed transfer tells its errno the same way, for the thread that made
// it: the kernel's path sets it, the bcm2835 library has none to give (0).
// The caller resets it with 0 before the transfer it asks about.
void bus_transfer_failed(int err);
int bus_transfer_error();

// Picks the flavour's way to the bus; runs at the start of driver_start.
// Each flavour's bus_choose_*.cc keeps its choice to itself and answers the
// four transfers below through it.
void bus_choose();

int bus_open();
void bus_close();
uint8_t bus_read(uint8_t *bytes, uint32_t len);
uint8_t bus_write(const uint8_t *bytes, uint32_t len);
