// The kernel's i2c-dev interface in front of the simulated bridge: the
// system calls that the i2c-dev backend makes, answered as the kernel
// answers them (its errno values included), with each transfer forwarded to
// the simulated bridge. The emulated machine has two adapters: /dev/i2c-1,
// where the bridge answers and whose device tree node gives a 400 kHz clock,
// and /dev/i2c-2, with no clock in its node and nothing on its bus.
#include "i2c_dev_sim.h"

#include <linux/i2c-dev.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "bus.h"
#include "sim_bridge.h"

namespace sim_bridge {
namespace {

const char DEVICE[] = "/dev/i2c-1";
const char CLOCK_NODE[] = "/sys/class/i2c-adapter/i2c-1/of_node/clock-frequency";
const uint8_t CLOCK_CELL[4] = {0x00, 0x06, 0x1A, 0x80};  // 400000, big-endian
constexpr int DEVICE_FD = 1001;
constexpr int CLOCK_FD = 1002;
const char EMPTY_BUS[] = "/dev/i2c-2";
constexpr int EMPTY_FD = 1003;
// The most that one read or write transfers: the kernel cuts a longer one
// to this and returns the shorter count.
constexpr size_t MAX_TRANSFER = 8192;

struct adapter {
    std::mutex lock;
    bool device_open = false;
    int address = -1;  // none until I2C_SLAVE
};

adapter &the_adapter() {
    static adapter *instance = new adapter;  // lives as long as the driver threads
    return *instance;
}

int fail(int err) {
    errno = err;
    return -1;
}

// The kernel's i2c-bcm2835 driver reports a missing acknowledge (the
// controller's ERR flag) as EREMOTEIO and every other controller error, its
// clock-stretch timeout (CLKT) included, as EIO; ETIMEDOUT only when the
// transfer does not complete at all.
int errno_of(uint8_t code) { return code == BUS_NACK ? EREMOTEIO : EIO; }

// Whether `path` names `file` as the kernel resolves it, where repeated
// slashes count as one: "/dev//i2c-1" opens /dev/i2c-1.
bool names(const char *path, const char *file) {
    while (*path != '\0' && *path == *file) {
        if (*path == '/') {
            while (path[1] == '/') path++;
        }
        path++;
        file++;
    }
    return *path == '\0' && *file == '\0';
}

int emu_open(const char *path, int) {
    if (names(path, CLOCK_NODE)) return CLOCK_FD;
    if (names(path, EMPTY_BUS)) return EMPTY_FD;
    if (!names(path, DEVICE)) return fail(ENOENT);
    // A bridge that cannot be initialised stands for a user who may not
    // open the device.
    if (!controller_init()) return fail(EACCES);
    controller_begin();
    adapter &a = the_adapter();
    std::lock_guard<std::mutex> guard(a.lock);
    a.device_open = true;
    a.address = -1;
    return DEVICE_FD;
}

int emu_close(int fd) {
    if (fd == CLOCK_FD || fd == EMPTY_FD) return 0;
    if (fd != DEVICE_FD) return fail(EBADF);
    controller_end();
    controller_close();
    adapter &a = the_adapter();
    std::lock_guard<std::mutex> guard(a.lock);
    a.device_open = false;
    return 0;
}

int emu_ioctl(int fd, unsigned long request, unsigned long arg) {
    if (fd != DEVICE_FD && fd != EMPTY_FD) return fail(fd == CLOCK_FD ? ENOTTY : EBADF);
    if (request != I2C_SLAVE) return fail(ENOTTY);
    if (arg > 0x7F) return fail(EINVAL);
    if (fd == EMPTY_FD) return 0;
    // A bridge whose I2C master cannot begin stands for an address that a
    // kernel driver has claimed.
    if (state().i2c_open == false) return fail(EBUSY);
    controller_address(static_cast<uint8_t>(arg));
    adapter &a = the_adapter();
    std::lock_guard<std::mutex> guard(a.lock);
    a.address = static_cast<int>(arg);
    return 0;
}

// The result of a transfer of `len` bytes that the bridge answered with `code`.
ssize_t transfer_result(uint8_t code, size_t len) {
    if (code != BUS_OK) return fail(errno_of(code));
    return static_cast<ssize_t>(len);
}

int check_transfer(int fd) {
    if (fd == EMPTY_FD) return EREMOTEIO;
    if (fd != DEVICE_FD) return EBADF;
    adapter &a = the_adapter();
    std::lock_guard<std::mutex> guard(a.lock);
    if (!a.device_open) return EBADF;
    // Without I2C_SLAVE the kernel addresses 0x00, where nothing answers.
    if (a.address != 0x25) return EREMOTEIO;
    return 0;
}

ssize_t emu_read(int fd, void *bytes, size_t len) {
    if (fd == CLOCK_FD) {
        size_t n = len < sizeof CLOCK_CELL ? len : sizeof CLOCK_CELL;
        memcpy(bytes, CLOCK_CELL, n);
        return static_cast<ssize_t>(n);
    }
    int err = check_transfer(fd);
    if (err != 0) return fail(err);
    if (len > MAX_TRANSFER) len = MAX_TRANSFER;
    uint8_t code = controller_read(static_cast<uint8_t *>(bytes), static_cast<uint32_t>(len));
    return transfer_result(code, len);
}

ssize_t emu_write(int fd, const void *bytes, size_t len) {
    int err = check_transfer(fd);
    if (err != 0) return fail(err);
    if (len > MAX_TRANSFER) len = MAX_TRANSFER;
    uint8_t code = controller_write(static_cast<const uint8_t *>(bytes), static_cast<uint32_t>(len));
    return transfer_result(code, len);
}

}  // namespace

const i2c_dev_syscalls emulated_i2c_dev = {emu_open, emu_close, emu_ioctl, emu_read, emu_write};

}  // namespace sim_bridge
