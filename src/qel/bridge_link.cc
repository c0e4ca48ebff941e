#include "bridge_link.h"

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "bus.h"
#include "bus_lock.h"
#include "capture.h"
#include "mirror.h"
#include "config.h"
#include "diagnostics.h"
#include "handoff.h"
#include "message_memory.h"

uint8_t buf[16];
uint8_t send_buf[17];
uint8_t hb[17] = {REG_TRANSMIT, 0x00, 0x00, ID_HEARTBEAT >> 8, ID_HEARTBEAT & 0xFF, 0x00, 0x00, DLC_HEARTBEAT, HB_DATA};
uint8_t sim_buf[16];
uint8_t simulate = 0;
uint8_t data = 0;

uv_async_t async;
// Written by the main thread only while no driver thread exists.
static bool async_ready = false;

int init_async(uv_loop_t *loop, uv_async_cb cb) {
    if (async_ready) {
        uv_ref(reinterpret_cast<uv_handle_t *>(&async));
        return 0;
    }
    int rc = uv_async_init(loop, &async, cb);
    if (rc == 0) async_ready = true;
    return rc;
}

void release_async() {
    if (async_ready) uv_unref(reinterpret_cast<uv_handle_t *>(&async));
}

void wake_main_thread() {
    if (request_wakeup() && async_ready) uv_async_send(&async);
}

int close_async(uv_close_cb closed) {
    if (!async_ready) return 0;
    async_ready = false;
    uv_close(reinterpret_cast<uv_handle_t *>(&async), closed);
    return 1;
}

int32_t cmd_tft = FIELD_NOT_SET;
int32_t cmd_read_cfg = FIELD_NOT_SET;
int32_t cmd_cop_light = FIELD_NOT_SET;
int32_t cmd_cop_light_color = FIELD_NOT_SET;
int32_t cmd_parm_num = FIELD_NOT_SET;
int32_t write_param_num = FIELD_NOT_SET;
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
            if (debug_log) note_cycle(report, cycle_notice::read_failed, data);
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

// ------------------------------------------------- losing the bridge
//
// A bridge that lost power or was replugged comes back with no register
// selected, and would answer every poll with sixteen bytes of 0xFF. So a
// failed transfer of the receive loop (a refused read, a frame no bridge
// sends, a refused set-up transfer) begins a run, during which the loop sets
// the bridge up again before each read: the bit rate, then the receive
// register. The first valid frame ends the run.
//
// Each set-up transfer is a cycle of its own, with the bus lock held for
// that one transfer, and the settle time the start-up gives a register
// (i2c_delay) is the loop's pause after it, taken without the lock: the
// heartbeat and the commands never wait for more than one transfer, as at
// any other time.

namespace {

enum class setup_step : uint8_t { none, baud, select };

// Receive thread only; reset while the threads are joined.
setup_step next_setup = setup_step::none;
uint32_t failed_run = 0;
bool run_began = false;  // in this cycle, to be said once the lock is released
bool run_ended = false;

// Under the bus lock.
void transfer_failed() {
    if (failed_run == 0) run_began = true;
    if (failed_run < UINT32_MAX) failed_run++;
    next_setup = setup_step::baud;
}

// Under the bus lock, after a read of the bridge (not a simulated frame).
void judge_read(bool read) {
    if (!read || kind_of(buf) == frame_kind::invalid) return transfer_failed();
    if (failed_run > 0) run_ended = true;
}

int32_t settle_pause() { return i2c_delay > retry_pause() ? i2c_delay : retry_pause(); }

// One set-up transfer, under the bus lock; returns the pause before the
// next cycle.
int32_t setup_cycle(cycle_report &report) {
    buf[0] = next_setup == setup_step::baud ? REG_BAUD : REG_RECEIVE;
    buf[1] = BAUD_250K;
    uint8_t code = bus_write(buf, next_setup == setup_step::baud ? 2 : 1);
    data = code;
    if (code != BUS_OK) {
        if (debug_log) note_cycle(report, cycle_notice::read_failed, code);
        count_event(POS_ERR);
        transfer_failed();
        return retry_pause();
    }
    next_setup = next_setup == setup_step::baud ? setup_step::select : setup_step::none;
    return settle_pause();
}

// What the main thread learns of the run: entry i of the news is its
// beginning for an even i and its end, with the run's length, for an odd i.
constexpr uint32_t NEWS_SLOTS = 16;
std::atomic<uint32_t> news_posted{0};
std::atomic<uint32_t> news_failed[NEWS_SLOTS];
uint32_t news_taken = 0;  // main thread only

void post_news(uint32_t failed) {
    uint32_t i = news_posted.load(std::memory_order_relaxed);
    news_failed[i % NEWS_SLOTS].store(failed, std::memory_order_relaxed);
    news_posted.store(i + 1, std::memory_order_release);
    wake_main_thread();
}

// Says a run's beginning or end, once the lock is released.
void tell_run() {
    if (run_began) {
        console_line(MSG_BRIDGE_LOST);
        post_news(0);
    }
    if (run_ended) {
        console_line(MSG_BRIDGE_SET_UP_AGAIN, failed_run);
        post_news(failed_run);
        failed_run = 0;
    }
    run_began = run_ended = false;
}

}  // namespace

bool take_link_news(link_news *out) {
    uint32_t posted = news_posted.load(std::memory_order_acquire);
    if (posted == news_taken) return false;
    // Fallen a whole table behind: the oldest entries are gone. An even
    // number is skipped, so that beginnings and ends still alternate.
    if (posted - news_taken > NEWS_SLOTS) news_taken += (posted - NEWS_SLOTS - news_taken + 1) & ~1u;
    out->answering = news_taken % 2 == 1;
    out->failed = news_failed[news_taken % NEWS_SLOTS].load(std::memory_order_relaxed);
    news_taken++;
    return true;
}

int32_t listen_cycle() {
    cycle_report report;
    uint8_t mirrored[FRAME_BYTES];
    bool mirroring = false;
    int32_t pause;
    receive_lock();
    if (debug_log) hold_posts();
    // A simulated frame goes first: it needs no bridge.
    if (next_setup != setup_step::none && simulate == 0) {
        pause = setup_cycle(report);
    } else {
        bool read = take_frame(report);
        mirroring = read && mirror_running();
        if (mirroring) memcpy(mirrored, buf, sizeof mirrored);
        if (read) sort_frame(buf, report);
        if (!report.simulated) judge_read(read);
        pause = read ? can_bus_delay : retry_pause();
    }
    receive_unlock();
    if (report.prints) print_cycle(report);
    tell_run();
    if (release_posts()) report.wake = true;
    if (report.wake && async_ready) uv_async_send(&async);
    if (mirroring) mirror_record(mirrored);
    step_aside_for_waiters();
    return pause;
}

// ------------------------------------------------------------ heartbeat

bool heartbit_prepare() {
    if (hb_delay < 1) {
        console_line(MSG_HB_DISABLED);
        return false;
    }
    console_line(MSG_HB_STARTING, hb_delay);
    transmit_request beat{};
    beat.kind = transmit_kind::heartbeat;
    encode_transmit_frame(beat, hb);
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
    cmd_tft = FIELD_NOT_SET;
    cmd_read_cfg = FIELD_NOT_SET;
    cmd_cop_light = FIELD_NOT_SET;
    cmd_cop_light_color = FIELD_NOT_SET;
    cmd_parm_num = FIELD_NOT_SET;
}

void reset_parameter_fields() {
    write_param_num = FIELD_NOT_SET;
    memset(write_param_value, 0, sizeof write_param_value);
}

static void print_frame_dump(const uint8_t *frame, bool parameter) {
    unsigned id = frame_id(frame + TX_FRAME_AT);
    ConsoleLine line;
    if (parameter) {
        line.add(MSG_PARAM_DUMP, id);
    } else {
        line.add(MSG_CMD_DUMP, id);
    }
    for (uint32_t i = 0; i < TRANSMIT_BYTES; i++) line.add(MSG_DUMP_BYTE, frame[i]);
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

// The setting lines of a command, in the order the frame takes them.
static void print_command_lines() {
    if (cmd_tft >= 0) console_line(MSG_CMD_TFT, cmd_tft);
    if (cmd_read_cfg == READ_CFG_ALL) {
        console_line(MSG_CMD_READ_CFG_ALL);
    } else if (cmd_read_cfg == READ_CFG_ONE) {
        console_line(MSG_CMD_READ_CFG);
    }
    if (cmd_cop_light == COP_LIGHT_OFF) {
        console_line(MSG_CMD_COP_OFF, static_cast<unsigned>(cmd_cop_light));
    } else if (cmd_cop_light == COP_LIGHT_ON) {
        console_line(MSG_CMD_COP_ON, static_cast<unsigned>(cmd_cop_light));
    }
    if (cmd_cop_light_color == COP_COLOR_SET) {
        console_line(MSG_CMD_COP_COLOR, static_cast<unsigned>(cmd_cop_light_color));
    }
}

void prepare_command(uint8_t (&frame)[TRANSMIT_BYTES]) {
    print_command_lines();
    transmit_request command{};
    command.kind = transmit_kind::command;
    command.command = {cmd_tft, cmd_read_cfg, cmd_cop_light, cmd_cop_light_color, cmd_parm_num};
    encode_transmit_frame(command, frame);
    if (debug_log) print_frame_dump(frame, false);
}

void prepare_parameter(uint8_t (&frame)[TRANSMIT_BYTES]) {
    console_line(MSG_PARAM_NUM, write_param_num);
    transmit_request parameter{};
    parameter.kind = transmit_kind::parameter;
    parameter.parameter.num = write_param_num;
    static_assert(sizeof write_param_value == PARAM_VALUE_BYTES, "one value byte per data byte after the number");
    memcpy(parameter.parameter.value, write_param_value, PARAM_VALUE_BYTES);
    encode_transmit_frame(parameter, frame);
    if (debug_log) print_frame_dump(frame, true);
}

int send_command() {
    prepare_command(send_buf);
    return transmit_send_buf();
}

int write_parameter() {
    prepare_parameter(send_buf);
    return transmit_send_buf();
}

// ---------------------------------------------------------- thread entries

static std::atomic<bool> threads_released{false};
static std::atomic<bool> heartbeat_announced{false};
static std::atomic<bool> stop_requested{false};
static pthread_mutex_t stop_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t stop_changed;

void release_driver_threads() { threads_released.store(true, std::memory_order_release); }

// The condition waits on the monotonic clock: a change of the wall clock
// neither ends a pause early nor stretches it.
static void init_stop_changed() {
    static pthread_once_t once = PTHREAD_ONCE_INIT;
    pthread_once(&once, [] {
        pthread_condattr_t attr;
        pthread_condattr_init(&attr);
        pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        pthread_cond_init(&stop_changed, &attr);
        pthread_condattr_destroy(&attr);
    });
}

void request_driver_stop() {
    init_stop_changed();
    pthread_mutex_lock(&stop_lock);
    stop_requested.store(true, std::memory_order_release);
    pthread_cond_broadcast(&stop_changed);
    pthread_mutex_unlock(&stop_lock);
}

void rearm_driver_threads() {
    next_setup = setup_step::none;
    failed_run = 0;
    run_began = run_ended = false;
    news_posted.store(0, std::memory_order_relaxed);
    news_taken = 0;
    stop_requested.store(false, std::memory_order_release);
    threads_released.store(false, std::memory_order_release);
    heartbeat_announced.store(false, std::memory_order_release);
}

// A driver thread's pause, which a stop ends at once; true when the thread
// is to end.
static bool pause_unless_stopped(int32_t us) {
    // No pause at all (a poll delay of 0) costs no lock and no system call.
    if (us <= 0) return stop_requested.load(std::memory_order_acquire);
    init_stop_changed();
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    int64_t ns = until.tv_nsec + static_cast<int64_t>(us) * 1000;
    until.tv_sec += static_cast<time_t>(ns / 1000000000);
    until.tv_nsec = static_cast<long>(ns % 1000000000);
    pthread_mutex_lock(&stop_lock);
    while (!stop_requested.load(std::memory_order_acquire) &&
           pthread_cond_timedwait(&stop_changed, &stop_lock, &until) != ETIMEDOUT) {
    }
    pthread_mutex_unlock(&stop_lock);
    return stop_requested.load(std::memory_order_acquire);
}

bool heartbeat_started() { return heartbeat_announced.load(std::memory_order_acquire); }

// Driver threads wait here until both exist; false when a start that
// failed half-way ends them first.
static bool wait_for_thread_release() {
    while (!threads_released.load(std::memory_order_acquire)) {
        if (pause_unless_stopped(100)) return false;
    }
    return true;
}

void listen(void *) {
    if (!wait_for_thread_release()) return;
    while (!pause_unless_stopped(listen_cycle())) {
    }
}

void heartbit(void *) {
    if (!wait_for_thread_release()) return;
    bool enabled = heartbit_prepare();
    heartbeat_announced.store(true, std::memory_order_release);
    if (!enabled) return;
    do {
        heartbit_beat();
    } while (!pause_unless_stopped(hb_delay));
}
