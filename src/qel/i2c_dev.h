// The kernel's i2c-dev interface as the driver uses it. Its system calls go
// through a table, so that the simulated flavour can answer them with an
// emulation of the kernel while the backend's own code stays the one that
// runs on a Raspberry Pi.
#pragma once

#include <sys/types.h>

#include <cstdint>

struct i2c_dev_syscalls {
    int (*open)(const char *path, int flags);
    int (*close)(int fd);
    int (*ioctl)(int fd, unsigned long request, unsigned long arg);
    ssize_t (*read)(int fd, void *bytes, size_t len);
    ssize_t (*write)(int fd, const void *bytes, size_t len);
};

// The kernel's own calls.
extern const i2c_dev_syscalls kernel_i2c_dev;
#ifdef QEL_TEST_HOOKS
// Sends the backend's calls to `sys` instead of the kernel's, from the next
// start-up on (the simulated flavour's emulation of i2c-dev).
void i2c_dev_use(const i2c_dev_syscalls *sys);
#endif

// The device the backend opens: QEL_I2C_DEVICE, else /dev/i2c-1.
const char *i2c_dev_path();
// Maps an errno of a failed transfer onto the bus reason codes.
uint8_t i2c_dev_reason(int err);
