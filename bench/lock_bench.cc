// The longest hold of the bus lock by any thread while the driver, in debug
// mode, floods a standard output that nobody reads: a pipe whose reader
// never reads. The receive thread polls back to back with a line to print in
// every cycle (a debounced frame repeated without end, a failed read every
// few milliseconds), the heartbeat beats every 5 ms, and the main thread
// sends a command every millisecond and waits for its lines as the
// JavaScript function does. Instant transfers, so that what the lock covers
// is the driver's own work; on a busy machine the longest hold is mostly a
// holder that the scheduler preempted, so the same run with an output that
// is read (/dev/null) gives the reference, and each hold is also timed on
// the holder's own CPU clock. The main thread hands the console's lines on
// as the JavaScript side does: without waiting, dropping what the output
// does not take.
//
// Prints one JSON object on the standard output it was started with.
//
// usage: lock_bench [milliseconds] [log-file] [stalled|read]
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "bridge_link.h"
#include "bus.h"
#include "diagnostics.h"
#include "driver_api.h"
#include "sim_bridge.h"

namespace {

void fail(const char *what) {
    fprintf(stderr, "lock_bench: %s\n", what);
    exit(1);
}

// Standard output becomes a pipe that nobody reads, or /dev/null; returns a
// descriptor of the original one for the report.
int redirect_stdout(bool stalled) {
    int report = dup(STDOUT_FILENO);
    int ends[2];
    int out = stalled ? (pipe2(ends, O_NONBLOCK) == 0 ? ends[1] : -1) : open("/dev/null", O_WRONLY);
    if (report < 0 || out < 0 || dup2(out, STDOUT_FILENO) < 0) fail("cannot redirect standard output");
    return report;
}

void feed_debounced_repeats() {
    uint8_t f[16] = {0};
    f[2] = 0x02;
    f[3] = 0xC0;
    f[6] = 1;
    f[7] = 1;
    f[15] = checksum(f, 15);
    sim_bridge::receive(f, 1ULL << 40);
}

}  // namespace

int main(int argc, char **argv) {
    int window_ms = argc > 1 ? atoi(argv[1]) : 2000;
    const char *log = argc > 2 ? argv[2] : "qel_lock_bench_log.txt";
    bool stalled = argc <= 3 || strcmp(argv[3], "read") != 0;
    int report = redirect_stdout(stalled);

    i2c_delay = 0;
    can_bus_delay = 0;
    hb_delay = 5000;
    deb_delay = 2000;
    debug_log = true;
    sim_bridge::reset();
    sim_bridge::bus_speed(0);
    bus_choose();
    if (init_bus_lock() != 0 || bus_open() != 0 || select_register(REG_RECEIVE) != 0 || log_open(log) != 0) {
        fail("set-up failed");
    }
    feed_debounced_repeats();
    if (start_driver_threads() != 0) fail("cannot start the driver threads");

    auto run = [](int ms) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (int i = 0; std::chrono::steady_clock::now() < end; i++) {
            if (i % 10 == 0) sim_bridge::fail_reads(3, 2);
            reset_command_fields();
            cmd_tft = i & 0xFF;
            send_command();
            console_flush_until(deadline_in_ms(0));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    run(500);  // the pipe and the queue fill up
    bus_lock_longest_hold_ns(true);
    bus_lock_longest_cpu_hold_ns(true);
    size_t beats_before = sim_bridge::writes().size();
    run(window_ms);
    int64_t longest = bus_lock_longest_hold_ns(false);
    int64_t longest_cpu = bus_lock_longest_cpu_hold_ns(false);
    size_t transmits = sim_bridge::writes().size() - beats_before;

    dprintf(report, "{\"stalled\":%s,\"window_ms\":%d,\"longest_hold_ns\":%" PRId64 ",\"longest_cpu_hold_ns\":%" PRId64
            ",\"transmits\":%zu}\n",
            stalled ? "true" : "false", window_ms, longest, longest_cpu, transmits);
    return 0;
}
