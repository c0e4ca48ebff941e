#include "sim_bridge.h"

#include <time.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>

#include "bus.h"
#include "frame.h"

namespace sim_bridge {
namespace {

// Queued frames are kept as runs, so a frame queued a million times costs
// one entry.
struct frame_run {
    uint8_t frame[FRAME_BYTES];
    uint64_t count;
};

struct bridge {
    std::mutex lock;  // the simulated hardware's own state; not the driver's bus lock
    std::deque<frame_run> queue;
    uint64_t queued = 0;
    std::vector<write_record> log;
    uint64_t receive_reads = 0;
    bool init_fails = false;
    bool begin_fails = false;  // the I2C controller stays unmapped
    std::deque<uint8_t> baud_values;
    uint64_t read_faults = 0;
    uint8_t read_fault_code = 0;
    uint64_t write_faults = 0;
    uint8_t write_fault_code = 0;
    uint8_t select_fault_code = 0;
    uint8_t registers[256] = {0};
    uint8_t selected = 0;
    bool initialized = false;
    bool i2c_open = false;
    uint8_t slave_address = 0;
    uint16_t clock_divider = 0;
};

// Never destroyed: the driver threads poll the bridge until the process is
// gone, also while static destructors run at exit.
bridge &the_bridge() {
    static bridge *instance = new bridge;
    return *instance;
}

std::atomic<double> speed_hz{0.0};
std::atomic<int> transfers_in_progress{0};
std::atomic<uint64_t> overlap_count{0};

// Marks the time a transfer occupies the simulated bus; a transfer that
// begins while another is still in progress is an overlap.
class transfer {
public:
    explicit transfer(uint32_t bytes) : start_(now()) {
        if (transfers_in_progress.fetch_add(1) > 0) overlap_count.fetch_add(1);
        double hz = speed_hz.load();
        if (hz > 0) wait_until(start_ + (1.0 + bytes) * 9.0 * 1000.0 / hz);
    }
    ~transfer() { transfers_in_progress.fetch_sub(1); }
    double start() const { return start_; }

private:
    // Sleeps for the bulk of a long wait and spins for the rest: as exact as
    // the machine allows without a millisecond of scheduler error.
    static void wait_until(double deadline_ms) {
        double left = deadline_ms - now();
        if (left > 2.0) {
            long ns = static_cast<long>((left - 1.0) * 1e6);
            struct timespec ts = {ns / 1000000000L, ns % 1000000000L};
            nanosleep(&ts, nullptr);
        }
        while (now() < deadline_ms) {
        }
    }
    double start_;
};

void empty_frame(uint8_t *out) {
    memset(out, 0, FRAME_BYTES);
    out[FRAME_LENGTH_AT] = LEN_EMPTY;
    out[FRAME_CHECKSUM_AT] = LEN_EMPTY;  // the checksum of bytes 0-14, LEN_EMPTY the only one set
}

}  // namespace

double now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

void reset() {
    bridge &b = the_bridge();
    std::lock_guard<std::mutex> guard(b.lock);
    b.queue.clear();
    b.queued = 0;
    b.log.clear();
    b.receive_reads = 0;
    b.init_fails = false;
    b.begin_fails = false;
    b.baud_values.clear();
    b.read_faults = 0;
    b.write_faults = 0;
    b.select_fault_code = 0;
    b.registers[REG_BAUD] = 0;
}

void receive(const uint8_t frame[16], uint64_t repeat) {
    if (repeat == 0) return;
    bridge &b = the_bridge();
    std::lock_guard<std::mutex> guard(b.lock);
    frame_run run;
    memcpy(run.frame, frame, FRAME_BYTES);
    run.count = repeat;
    b.queue.push_back(run);
    b.queued += repeat;
}

uint64_t pending() {
    bridge &b = the_bridge();
    std::lock_guard<std::mutex> guard(b.lock);
    return b.queued;
}

std::vector<write_record> writes() {
    bridge &b = the_bridge();
    std::lock_guard<std::mutex> guard(b.lock);
    return b.log;
}

uint64_t reads() {
    bridge &b = the_bridge();
    std::lock_guard<std::mutex> guard(b.lock);
    return b.receive_reads;
}

void fail_init(bool on) {
    bridge &b = the_bridge();
    std::lock_guard<std::mutex> guard(b.lock);
    b.init_fails = on;
}

void fail_begin(bool on) {
    bridge &b = the_bridge();
    std::lock_guard<std::mutex> guard(b.lock);
    b.begin_fails = on;
}

void baud_readback(const std::vector<uint8_t> &values) {
    bridge &b = the_bridge();
    std::lock_guard<std::mutex> guard(b.lock);
    b.baud_values.assign(values.begin(), values.end());
}

void fail_reads(uint64_t count, uint8_t code) {
    bridge &b = the_bridge();
    std::lock_guard<std::mutex> guard(b.lock);
    b.read_faults = count;
    b.read_fault_code = code;
}

void fail_writes(uint64_t count, uint8_t code) {
    bridge &b = the_bridge();
    std::lock_guard<std::mutex> guard(b.lock);
    b.write_faults = count;
    b.write_fault_code = code;
}

void fail_select(uint8_t code) {
    bridge &b = the_bridge();
    std::lock_guard<std::mutex> guard(b.lock);
    b.select_fault_code = code;
}

void power_cycle() {
    bridge &b = the_bridge();
    std::lock_guard<std::mutex> guard(b.lock);
    b.selected = 0;
    b.registers[REG_BAUD] = 0;
}

void bus_speed(double hz) { speed_hz.store(hz > 0 ? hz : 0.0); }

bridge_state state() {
    bridge &b = the_bridge();
    std::lock_guard<std::mutex> guard(b.lock);
    return {b.initialized, b.i2c_open, b.slave_address, b.clock_divider, overlap_count.load()};
}

// ------------------------------------------------ the I2C controller

bool controller_init() {
    bridge &b = the_bridge();
    std::lock_guard<std::mutex> guard(b.lock);
    if (b.init_fails) return false;
    b.initialized = true;
    return true;
}

void controller_close() {
    bridge &b = the_bridge();
    std::lock_guard<std::mutex> guard(b.lock);
    b.initialized = false;
    b.i2c_open = false;
}

bool controller_begin() {
    bridge &b = the_bridge();
    std::lock_guard<std::mutex> guard(b.lock);
    if (!b.initialized || b.begin_fails) return false;
    b.i2c_open = true;
    return true;
}

void controller_end() {
    bridge &b = the_bridge();
    std::lock_guard<std::mutex> guard(b.lock);
    b.i2c_open = false;
}

void controller_address(uint8_t addr) {
    bridge &b = the_bridge();
    std::lock_guard<std::mutex> guard(b.lock);
    b.slave_address = addr;
}

void controller_divider(uint16_t divider) {
    bridge &b = the_bridge();
    std::lock_guard<std::mutex> guard(b.lock);
    b.clock_divider = divider;
}

uint8_t controller_write(const uint8_t *bytes, uint32_t len) {
    transfer bus(len);
    bridge &b = the_bridge();
    std::lock_guard<std::mutex> guard(b.lock);
    uint8_t code = BUS_OK;
    if (!b.initialized || !b.i2c_open) {
        code = BUS_NACK;
    } else if (len == TRANSMIT_BYTES && bytes[0] == REG_TRANSMIT) {
        if (b.write_faults > 0) {
            b.write_faults--;
            code = b.write_fault_code;
        }
    } else if (len == 1) {
        if (bytes[0] == REG_RECEIVE && b.select_fault_code != 0) {
            code = b.select_fault_code;
        } else {
            b.selected = bytes[0];
        }
    } else if (len == 2) {
        b.selected = bytes[0];
        b.registers[bytes[0]] = bytes[1];
    }
    b.log.push_back({std::vector<uint8_t>(bytes, bytes + len), code, bus.start()});
    return code;
}

uint8_t controller_read(uint8_t *out, uint32_t len) {
    transfer bus(len);
    bridge &b = the_bridge();
    std::lock_guard<std::mutex> guard(b.lock);
    memset(out, 0, len);
    if (!b.initialized || !b.i2c_open) return BUS_NACK;
    if (len != FRAME_BYTES) {
        uint8_t value = b.registers[b.selected];
        if (b.selected == REG_BAUD && !b.baud_values.empty()) {
            value = b.baud_values.front();
            b.baud_values.pop_front();
        }
        if (len > 0) out[0] = value;
        return BUS_OK;
    }
    b.receive_reads++;
    if (b.read_faults > 0) {
        b.read_faults--;
        return b.read_fault_code;
    }
    if (b.selected != REG_RECEIVE) {
        memset(out, 0xff, len);
        return BUS_OK;
    }
    if (b.queue.empty()) {
        empty_frame(out);
        return BUS_OK;
    }
    frame_run &run = b.queue.front();
    memcpy(out, run.frame, FRAME_BYTES);
    b.queued--;
    if (--run.count == 0) b.queue.pop_front();
    return BUS_OK;
}

}  // namespace sim_bridge

// The bcm2835 backend of the simulated flavour drives the simulated controller.
const bcm2835_controller_ops bcm2835_controller = {
    sim_bridge::controller_init,    sim_bridge::controller_close,   sim_bridge::controller_begin,
    sim_bridge::controller_end,     sim_bridge::controller_address, sim_bridge::controller_divider,
    sim_bridge::controller_write,   sim_bridge::controller_read,
};
