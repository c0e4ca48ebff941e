#include "bridge_link.h"

#include <time.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "bus.h"
#include "bus_lock.h"
#include "capture.h"
#include "config.h"
#include "diagnostics.h"
#include "message_memory.h"

uint8_t buf[16];
uint8_t send_buf[17];
uint8_t hb[17] = {REG_TRANSMIT, 0x00, 0x00, 0x07, 0x60, 0x00, 0x00, 0x01, 0x00};
uint8_t sim_buf[16];
uint8_t simulate = 0;
uint8_t data = 0;

uv_async_t async;
bool async_ready = false;

int32_t cmd_tft = -1;
int32_t cmd_read_cfg = -1;
int32_t cmd_cop_light = -1;
int32_t cmd_cop_light_color = -1;
int32_t cmd_parm_num = -1;
int32_t write_param_num = -1;
uint8_t write_param_value[7];

// ---------------------------------------------------------------- clocks

void pause_us(int32_t us) {
    if (us <= 0) return;
    struct timespec ts;
    ts.tv_sec = us / 1000000;
    ts.tv_nsec = static_cast<long>(us % 1000000) * 1000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

uint64_t timestamp() { return static_cast<uint64_t>(wall_clock_ns() / 1000000); }

// ------------------------------------------------------- register access

uint8_t read_register(uint8_t reg, uint8_t &out) {
    buf[0] = reg;
    data = bus_write(buf, 1);
    pause_us(i2c_delay);
    data = bus_read(buf, 1);
    if (data != BUS_OK) return data;
    out = buf[0];
    return 0;
}

uint8_t write_register(uint8_t reg, uint8_t value) {
    buf[0] = reg;
    buf[1] = value;
    data = bus_write(buf, 2);
    pause_us(i2c_delay);
    return data;
}

uint8_t select_register(uint8_t reg) {
    buf[0] = reg;
    data = bus_write(buf, 1);
    pause_us(i2c_delay);
    return data;
}

// ----------------------------------------------------------- receive loop

namespace {

// What a cycle prints once the bus lock is released: no console line and no
// log line is queued while the lock is held.
enum class cycle_notice : uint8_t { none, read_failed, checksum_error, debouncing };

struct cycle_report {
    int position = -1;
    bool wake = false;
    bool prints = false;  // anything below is to be printed
    bool simulated = false;
    cycle_notice notice = cycle_notice::none;
    unsigned values[2];   // of the notice
    bool log_line = false;
    uint64_t received_at; // of the log line
    uint8_t frame[16];    // copy for the log line
    status_snapshot dump; // copy for the debug console dump
    uint8_t received_checksum;
    uint8_t calculated_checksum;
};

void note(cycle_report &report, cycle_notice notice, unsigned a, unsigned b = 0) {
    report.prints = true;
    report.notice = notice;
    report.values[0] = a;
    report.values[1] = b;
}

bool data_differs(const msg_mem_struct &slot, const uint8_t *frame, int count) {
    return memcmp(slot.msg_data, frame + FRAME_DATA_AT, static_cast<size_t>(count)) != 0;
}

// Decides by the slot's class whether the frame is to be reported, and
// stamps the slot accordingly.
bool classify(int pos, uint32_t id, uint64_t t, cycle_report &report) {
    msg_mem_struct &slot = PDO_memory[pos];
    if (is_cyclic[pos] != 0) {
        slot.timestamp = t;
        return slot.msg_id == 0 || data_differs(slot, buf, 8);
    }
    if (id / 256 == 2) {
        uint64_t elapsed = timestamp() - slot.timestamp;
        if (elapsed > static_cast<uint64_t>(static_cast<uint32_t>(deb_delay)) ||
            data_differs(slot, buf, 3)) {
            slot.timestamp = t;
            return true;
        }
        if (debug_log) note(report, cycle_notice::debouncing, static_cast<unsigned>(slot.msg_id), slot.msg_data[0]);
        return false;
    }
    slot.timestamp = t;
    return true;
}

// Checks, filters, records and classifies a frame of a position 0-13.
void accept_frame(int pos, uint32_t id, cycle_report &report) {
    uint8_t calculated = checksum(buf, frame_len - 1);
    if (buf[FRAME_CHECKSUM_AT] != calculated) {
        if (debug_log) note(report, cycle_notice::checksum_error, buf[FRAME_CHECKSUM_AT], calculated);
        count_event(POS_ERR);
        return;
    }
    if (is_enabled[pos] == 0) return;
    uint64_t t = timestamp();
    if (debug_log) {
        report.prints = true;
        report.log_line = true;
        report.received_at = t;
        memcpy(report.frame, buf, sizeof report.frame);
    }
    bool reported = classify(pos, id, t, report);
    msg_mem_struct &slot = PDO_memory[pos];
    memcpy(slot.msg_data, buf + FRAME_DATA_AT, sizeof slot.msg_data);
    slot.msg_id = static_cast<int32_t>(id);
    count_event(pos);
    if (!reported) {
        refresh_change(pos);
        return;
    }
    report.position = pos;
    report.wake = post_change(pos);
    if (debug_log) {
        snapshot_slot(pos, &report.dump);
        report.received_checksum = buf[FRAME_CHECKSUM_AT];
        report.calculated_checksum = calculated;
    }
}

void sort_frame(cycle_report &report) {
    uint32_t id = frame_id(buf);
    int pos = mem_position(id);
    if (buf[FRAME_LENGTH_AT] == LEN_EMPTY || pos == POS_EMPTY) {
        count_event(POS_EMPTY);
    } else if (pos == POS_UNK) {
        count_event(POS_UNK);
    } else if (pos == POS_ERR) {
        // Identifier 0xFFD names the error statistic; such frames are dropped.
    } else {
        if (pos == POS_HB) count_event(POS_HB);
        accept_frame(pos, id, report);
    }
}

// Takes the pending simulated frame, or reads one from the bridge, and
// hands it to a capture in progress; false when the read failed.
bool take_frame(cycle_report &report) {
    report.simulated = simulate != 0;
    report.prints = report.simulated;
    if (report.simulated) {
        memcpy(buf, sim_buf, sizeof buf);
        simulate = 0;
        data = 0;
    } else {
        data = bus_read(buf, static_cast<uint32_t>(frame_len));
        if (data != BUS_OK) {
            if (debug_log) note(report, cycle_notice::read_failed, data);
            count_event(POS_ERR);
            return false;
        }
    }
    capture_frame(buf, report.simulated);
    return true;
}

void print_received(const cycle_report &report) {
    const msg_mem_struct &slot = report.dump.slot;
    ConsoleLine line;
    line.add(MSG_RECEIVED_PREFIX, static_cast<unsigned>(slot.msg_id));
    for (uint8_t byte : slot.msg_data) line.add(MSG_RECEIVED_BYTE, byte);
    line.add(MSG_RECEIVED_SUFFIX, report.received_checksum, report.calculated_checksum,
             slot.counter, static_cast<unsigned long long>(slot.timestamp), report.position);
    line.print();
}

void print_cycle(const cycle_report &report) {
    if (report.simulated) console_line(MSG_SIMULATING);
    switch (report.notice) {
        case cycle_notice::read_failed:
            console_line(MSG_READ_FAILED, report.values[0]);
            break;
        case cycle_notice::checksum_error:
            console_line(MSG_CHECKSUM_ERROR, report.values[0], report.values[1]);
            break;
        case cycle_notice::debouncing:
            console_line(MSG_DEBOUNCING, report.values[0], report.values[1]);
            break;
        case cycle_notice::none:
            break;
    }
    if (report.log_line) log_message_line(report.frame, report.received_at);
    if (report.position >= 0 && debug_log) print_received(report);
}

}  // namespace

// An unplugged bridge fails every read at once; retried without a pause,
// the thread would spin a core and run the error count round.
static int32_t retry_pause() {
    return can_bus_delay > READ_RETRY_MIN_US ? can_bus_delay : READ_RETRY_MIN_US;
}

int32_t listen_cycle() {
    cycle_report report;
    receive_lock();
    bool read = take_frame(report);
    if (read) sort_frame(report);
    receive_unlock();
    if (report.prints) print_cycle(report);
    if (report.wake && async_ready) uv_async_send(&async);
    step_aside_for_waiters();
    return read ? can_bus_delay : retry_pause();
}

// ------------------------------------------------------------ heartbeat

bool heartbit_prepare() {
    if (hb_delay < 1) {
        console_line(MSG_HB_DISABLED);
        return false;
    }
    console_line(MSG_HB_STARTING, hb_delay);
    seal_transmit_frame(hb);
    return true;
}

void heartbit_beat() {
    bus_lock();
    uint8_t code = bus_write(hb, static_cast<uint32_t>(frame_len + 1));
    data = code;
    bus_unlock();
    if (code != BUS_OK && debug_log) console_line(MSG_HB_FAILED);
}

// -------------------------------------------------- commands, parameters

void reset_command_fields() {
    cmd_tft = -1;
    cmd_read_cfg = -1;
    cmd_cop_light = -1;
    cmd_cop_light_color = -1;
    cmd_parm_num = -1;
}

void reset_parameter_fields() {
    write_param_num = -1;
    memset(write_param_value, 0, sizeof write_param_value);
}

static void print_frame_dump(bool parameter) {
    unsigned id = frame_id(send_buf + 1);
    ConsoleLine line;
    if (parameter) {
        line.add(MSG_PARAM_DUMP, id);
    } else {
        line.add(MSG_CMD_DUMP, id);
    }
    for (uint8_t byte : send_buf) line.add(MSG_DUMP_BYTE, byte);
    line.print();
}

// Writes send_buf as one transfer under the bus lock; 0 on success.
static int transmit_send_buf() {
    bus_lock();
    uint8_t code = bus_write(send_buf, sizeof send_buf);
    data = code;
    bus_unlock();
    if (code == BUS_OK) return 0;
    console_line(MSG_SEND_FAILED);
    return 1;
}

int send_command() {
    begin_transmit_frame(send_buf, 0x4E0, 0x08);
    if (cmd_tft >= 0) {
        console_line(MSG_CMD_TFT, cmd_tft);
        send_buf[8] = static_cast<uint8_t>(cmd_tft);
    }
    if (cmd_read_cfg == 0) {
        console_line(MSG_CMD_READ_CFG_ALL);
        send_buf[9] = 0x04;
    } else if (cmd_read_cfg == 1) {
        console_line(MSG_CMD_READ_CFG);
        send_buf[9] = 0x08;
        send_buf[10] = static_cast<uint8_t>(cmd_parm_num);
    }
    if (cmd_cop_light == 0) {
        console_line(MSG_CMD_COP_OFF, static_cast<unsigned>(cmd_cop_light));
        send_buf[9] |= 0x02;
    } else if (cmd_cop_light == 1) {
        console_line(MSG_CMD_COP_ON, static_cast<unsigned>(cmd_cop_light));
        send_buf[9] |= 0x03;
    }
    if (cmd_cop_light_color == 1) {
        console_line(MSG_CMD_COP_COLOR, static_cast<unsigned>(cmd_cop_light_color));
        send_buf[9] |= 0x10;
    }
    seal_transmit_frame(send_buf);
    if (debug_log) print_frame_dump(false);
    return transmit_send_buf();
}

int write_parameter() {
    begin_transmit_frame(send_buf, 0x560, 0x08);
    console_line(MSG_PARAM_NUM, write_param_num);
    send_buf[8] = static_cast<uint8_t>(write_param_num);
    memcpy(send_buf + 9, write_param_value, sizeof write_param_value);
    seal_transmit_frame(send_buf);
    if (debug_log) print_frame_dump(true);
    return transmit_send_buf();
}

// ---------------------------------------------------------- thread entries

static std::atomic<bool> threads_released{false};
static std::atomic<bool> heartbeat_announced{false};

void release_driver_threads() { threads_released.store(true, std::memory_order_release); }

bool heartbeat_started() { return heartbeat_announced.load(std::memory_order_acquire); }

// Driver threads wait here until both exist.
static void wait_for_thread_release() {
    while (!threads_released.load(std::memory_order_acquire)) pause_us(100);
}

void listen(void *) {
    wait_for_thread_release();
    for (;;) {
        pause_us(listen_cycle());
    }
}

void heartbit(void *) {
    wait_for_thread_release();
    bool enabled = heartbit_prepare();
    heartbeat_announced.store(true, std::memory_order_release);
    if (!enabled) return;
    for (;;) {
        heartbit_beat();
        pause_us(hb_delay);
    }
}
