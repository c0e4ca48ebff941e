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

// The errno of the system call that made the latest open() fail; 0 when
// none did (or the flavour's open makes none). Main thread only.
extern int bus_open_errno;
// The system call that failed then ("open", "ioctl"), or null.
extern const char *bus_open_syscall;

// The way this flavour reaches the bus; set by bus_choose at start-up.
extern const bus_ops *bus;

// Picks the flavour's way to the bus; runs at the start of driver_start.
void bus_choose();

inline uint8_t bus_read(uint8_t *bytes, uint32_t len) { return bus->read(bytes, len); }
inline uint8_t bus_write(const uint8_t *bytes, uint32_t len) { return bus->write(bytes, len); }
