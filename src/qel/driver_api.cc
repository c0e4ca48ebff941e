#include "driver_api.h"

#include <cstdio>
#include <cstring>

#include "bridge_link.h"
#include "bus.h"
#include "diagnostics.h"
#include "message_memory.h"
#include "transmit.h"

bool driver_started = false;

namespace {

// Why the bus's latest open failed: here, where start-up resets and reads
// it, since every flavour links this unit and not every one a backend
// that makes system calls.
int bus_open_errno = 0;
const char *bus_open_syscall = nullptr;
bool bus_is_open = false;

#ifndef QEL_BOARD_MODEL_PATH
#define QEL_BOARD_MODEL_PATH "/proc/device-tree/model"
#endif
// The build's; only a test build points it elsewhere.
const char *board_model_path = QEL_BOARD_MODEL_PATH;

// libuv's; only a test build makes creation fail.
int (*driver_thread_create)(uv_thread_t *, uv_thread_cb, void *) = uv_thread_create;

uv_thread_t thread;
uv_thread_t hb_thread;
uv_thread_t tx_thread;
bool thread_created = false;
bool hb_thread_created = false;
bool tx_thread_created = false;

}  // namespace

#ifdef QEL_TEST_HOOKS
void set_driver_thread_create(thread_create_fn create) { driver_thread_create = create; }
void set_board_model_path(const char *path) { board_model_path = path; }
#endif

void bus_open_failed(int err, const char *syscall) {
    bus_open_errno = err;
    bus_open_syscall = syscall;
}

static thread_local int transfer_errno = 0;

void bus_transfer_failed(int err) { transfer_errno = err; }

int bus_transfer_error() { return transfer_errno; }

int bus_open_error(const char **syscall) {
    *syscall = bus_open_syscall;
    return bus_open_errno;
}

void set_flags_from_ids(int32_t *table, const uint32_t *ids, size_t count) {
    for (int pos = 0; pos < MSG_SLOTS; pos++) table[pos] = 0;
    for (size_t i = 0; i < count; i++) {
        int pos = mem_position(ids[i]);
        if (pos < MSG_SLOTS) table[pos] = 1;
    }
}

static void print_listening_ids() {
    ConsoleLine line;
    line.add(MSG_LISTENING_PREFIX);
    for (int pos = 0; pos < MSG_SLOTS; pos++) {
        if (is_enabled[pos] != 0) line.add(MSG_LISTENING_ENTRY, PDO_map[pos].msg_id, is_cyclic[pos]);
    }
    line.print();
}

// The Raspberry Pi 5 family (Pi 5, Pi 500, Compute Module 5) has its GPIO
// and I2C on the RP1 chip; the addresses the bcm2835 library would map
// belong to something else there.
bool board_refused(const char *model) {
    static const char *const rp1_boards[] = {"Raspberry Pi 5", "Compute Module 5"};
    for (const char *name : rp1_boards) {
        if (strstr(model, name) != nullptr) return true;
    }
    return false;
}

// Reads the model name into `out`; empty when there is no such file.
static void read_board_model(char *out, size_t cap) {
    out[0] = '\0';
    if (board_model_path[0] == '\0') return;
    FILE *file = fopen(board_model_path, "r");
    if (file == nullptr) return;
    size_t n = fread(out, 1, cap - 1, file);
    fclose(file);
    out[n] = '\0';  // the device tree ends the name with a NUL of its own
}

// Runs before bcm2835_init, so that a refused board has no register touched.
int check_board() {
    if (board_model_path[0] == '\0') return 0;
    char model[128];
    read_board_model(model, sizeof model);
    // Elsewhere the library would map whatever sits at a BCM2835's
    // peripheral addresses, RAM on a PC, and write I2C registers into it.
    if (strstr(model, "Raspberry Pi") == nullptr) {
        console_line(MSG_NOT_A_PI, board_model_path);
        return 1;
    }
    if (!board_refused(model)) return 0;
    console_line(MSG_BOARD_UNSUPPORTED, model);
    return 1;
}

void close_bridge() {
    if (!bus_is_open) return;
    bus_close();
    bus_is_open = false;
}

// Sets the CAN bit rate and reads it back, once more if needed; prints the
// outcome and returns 0 when the register holds 250 kbit/s.
static int set_can_bit_rate() {
    uint8_t value = 0;
    write_register(REG_BAUD, BAUD_250K);
    read_register(REG_BAUD, value);
    if (value == BAUD_250K) {
        console_line(MSG_BAUD_OK, value);
        return 0;
    }
    write_register(REG_BAUD, BAUD_250K);
    read_register(REG_BAUD, value);
    if (value == BAUD_250K) return 0;
    console_line(MSG_BAUD_FAILED, value);
    return 1;
}

int driver_start() {
    console_line(MSG_STARTING, i2c_delay, can_bus_delay, hb_delay, deb_delay);
    print_listening_ids();
    memset(buf, 0, sizeof buf);
    clear_mem(false, -1);

    bus_choose();
    bus_open_failed(0, nullptr);
    if (bus_open() != 0) return 1;
    bus_is_open = true;
    console_line(MSG_SLAVE_ADDRESS, slave_address);
    console_line(MSG_FRAME_LEN, frame_len);
    console_line(MSG_DEBUG_MODE, debug_log ? 1 : 0);

    if (set_can_bit_rate() != 0) {
        close_bridge();
        return 1;
    }
    if (select_register(REG_RECEIVE) != BUS_OK) {
        console_line(MSG_SELECT_FAILED);
        close_bridge();
        return 1;
    }
    console_line(MSG_SELECT_OK);

    if (!debug_log) return 0;
    console_line(MSG_DEBUG_ENABLED);
    const char *path = log_path_for_start();
    console_line(MSG_LOG_FILE, path);
    log_open(path);
    return 0;
}

void join_driver_threads() {
    request_driver_stop();
    if (thread_created) uv_thread_join(&thread);
    if (hb_thread_created) uv_thread_join(&hb_thread);
    request_transmit_stop();
    if (tx_thread_created) uv_thread_join(&tx_thread);
    thread_created = hb_thread_created = tx_thread_created = false;
    rearm_driver_threads();
    rearm_transmitter();
}

int start_driver_threads() {
    if (!thread_created) {
        int rc = driver_thread_create(&thread, listen, nullptr);
        if (rc != 0) return rc;
        thread_created = true;
    }
    if (!hb_thread_created) {
        int rc = driver_thread_create(&hb_thread, heartbit, nullptr);
        if (rc != 0) return rc;
        hb_thread_created = true;
    }
    if (!tx_thread_created) {
        int rc = driver_thread_create(&tx_thread, transmitter, nullptr);
        if (rc != 0) return rc;
        tx_thread_created = true;
    }
    release_driver_threads();
    // The heartbeat's first line belongs to start-up: it is queued before
    // driverStart writes out its lines and returns, not at some moment after.
    for (int waited = 0; waited < 20000 && !heartbeat_started(); waited++) {
        pause_us(100);
    }
    return 0;
}
