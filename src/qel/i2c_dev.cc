// The bus through the kernel's i2c-dev interface. The kernel's I2C driver
// sleeps until the controller's interrupt instead of polling it, needs no
// /dev/mem (so no root, only access to the device file), and drives the
// controller of every Raspberry Pi, the RP1 of the Pi 5 included.
#include "i2c_dev.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bus.h"
#include "config.h"
#include "diagnostics.h"

namespace {

int kernel_ioctl(int fd, unsigned long request, unsigned long arg) { return ::ioctl(fd, request, arg); }
int kernel_open(const char *path, int flags) { return ::open(path, flags); }

char device_path[256];
int device_fd = -1;

// Where the backend's calls go: the kernel's, or in a test build an
// emulation of it (i2c_dev_use).
const i2c_dev_syscalls *i2c_dev_sys = &kernel_i2c_dev;

// The group that owns the device, whose members may open it; "i2c" on
// Raspberry Pi OS when the owner cannot be looked up.
const char *device_group(const char *path) {
    struct stat st;
    if (stat(path, &st) != 0) return "i2c";
    const struct group *gr = getgrgid(st.st_gid);
    return gr != nullptr ? gr->gr_name : "i2c";
}

void report_open_failure(const char *path, int err) {
    if (err == ENOENT || err == ENODEV || err == ENXIO) {
        console_line(MSG_I2C_DEV_MISSING, path);
    } else if (err == EACCES || err == EPERM) {
        const char *group = device_group(path);
        console_line(MSG_I2C_DEV_DENIED, path, group, group);
    } else {
        console_line(MSG_I2C_DEV_OPEN_FAILED, path, strerror(err));
    }
}

// The adapter's clock as the device tree gives it, a 32-bit big-endian
// cell under /sys/class/i2c-adapter/i2c-N/of_node; 0 when it cannot be read.
unsigned long adapter_clock(const char *path) {
    const char *name = strrchr(path, '/');
    name = name != nullptr ? name + 1 : path;
    if (strncmp(name, "i2c-", 4) != 0) return 0;
    char sysfs[320];
    snprintf(sysfs, sizeof sysfs, "/sys/class/i2c-adapter/%s/of_node/clock-frequency", name);
    int fd = i2c_dev_sys->open(sysfs, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    uint8_t cell[4];
    ssize_t n = i2c_dev_sys->read(fd, cell, sizeof cell);
    i2c_dev_sys->close(fd);
    if (n != static_cast<ssize_t>(sizeof cell)) return 0;
    return (static_cast<unsigned long>(cell[0]) << 24) | (static_cast<unsigned long>(cell[1]) << 16) |
           (static_cast<unsigned long>(cell[2]) << 8) | cell[3];
}

void print_clock(const char *path) {
    unsigned long hz = adapter_clock(path);
    if (hz != 0) {
        console_line(MSG_I2C_DEV_CLOCK, static_cast<unsigned>(hz), path);
    } else {
        console_line(MSG_I2C_DEV_CLOCK_KERNEL, path);
    }
}

int dev_open() {
    const char *path = i2c_dev_path();
    // A path cut to fit would name another device: .../i2c-10 becomes .../i2c-1.
    if (strlen(path) >= sizeof device_path) {
        console_line(MSG_I2C_DEV_PATH_TOO_LONG, path, static_cast<int>(sizeof device_path - 1));
        return 1;
    }
    snprintf(device_path, sizeof device_path, "%s", path);
    int fd = i2c_dev_sys->open(device_path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        bus_open_failed(err, "open");
        report_open_failure(device_path, err);
        return 1;
    }
    if (i2c_dev_sys->ioctl(fd, I2C_SLAVE, slave_address) != 0) {
        int err = errno;
        bus_open_failed(err, "ioctl");
        console_line(MSG_I2C_DEV_ADDRESS_FAILED, device_path, slave_address, strerror(err));
        i2c_dev_sys->close(fd);
        return 1;
    }
    device_fd = fd;
    print_clock(device_path);
    return 0;
}

void dev_close() {
    if (device_fd < 0) return;
    i2c_dev_sys->close(device_fd);
    device_fd = -1;
}

uint8_t dev_read(uint8_t *bytes, uint32_t len) {
    ssize_t n = i2c_dev_sys->read(device_fd, bytes, len);
    if (n < 0) return i2c_dev_reason(errno);
    return n == static_cast<ssize_t>(len) ? BUS_OK : BUS_DATA;
}

uint8_t dev_write(const uint8_t *bytes, uint32_t len) {
    ssize_t n = i2c_dev_sys->write(device_fd, bytes, len);
    if (n < 0) {
        int err = errno;
        bus_transfer_failed(err);
        return i2c_dev_reason(err);
    }
    return n == static_cast<ssize_t>(len) ? BUS_OK : BUS_DATA;
}

}  // namespace

const i2c_dev_syscalls kernel_i2c_dev = {kernel_open, ::close, kernel_ioctl, ::read, ::write};

#ifdef QEL_TEST_HOOKS
void i2c_dev_use(const i2c_dev_syscalls *sys) { i2c_dev_sys = sys; }
#endif

const bus_ops i2c_dev_bus = {dev_open, dev_close, dev_read, dev_write};

const char *i2c_dev_path() {
    const char *path = getenv("QEL_I2C_DEVICE");
    return path != nullptr && path[0] != '\0' ? path : "/dev/i2c-1";
}

// The kernel's I2C drivers answer a missing acknowledge with ENXIO or
// EREMOTEIO (i2c-bcm2835: EREMOTEIO) and a stretched clock or a transfer
// that never completes with ETIMEDOUT.
uint8_t i2c_dev_reason(int err) {
    if (err == ENXIO || err == EREMOTEIO) return BUS_NACK;
    if (err == ETIMEDOUT) return BUS_CLKT;
    return BUS_DATA;
}
