// Times the receive cycle, with and without a capture or a mirror, and
// the debug log line in the driver's core, on the simulated bridge with instant transfers
// and no pause between polls.
//
// Every cycle is timed alone with the thread's CPU clock; the cost of
// reading that clock, measured the same way around nothing, is subtracted.
// What the main thread does with a change (begin_wakeup, take_change, one
// turn of the event loop that drains the wake-up handle) happens between
// cycles, outside the timed region, as it would on another thread.
//
// Prints one JSON object on standard output; all times in nanoseconds.
//
// With QEL_SIM_BUS=i2c-dev in the environment the transfers go through the
// kernel backend and the emulated i2c-dev interface instead.
//
// usage: core_bench [cycles] [log-file]
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <sys/ioctl.h>

#include <algorithm>
#include <chrono>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <uv.h>

#include "bridge_link.h"
#include "bus.h"
#include "capture.h"
#include "diagnostics.h"
#include "driver_api.h"
#include "message_memory.h"
#include "mirror.h"
#include "sim_bridge.h"

namespace {

int64_t cpu_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t wall_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct frame16 {
    uint8_t bytes[16];
};

frame16 make_frame(uint32_t id, uint32_t serial) {
    frame16 f;
    memset(f.bytes, 0, sizeof f.bytes);
    f.bytes[2] = static_cast<uint8_t>(id >> 8);
    f.bytes[3] = static_cast<uint8_t>(id);
    f.bytes[6] = 8;
    for (int i = 0; i < 4; i++) f.bytes[7 + i] = static_cast<uint8_t>(serial >> (8 * i));
    f.bytes[11] = 0x5A;
    f.bytes[15] = checksum(f.bytes, 15);
    return f;
}

uv_loop_t main_loop;
uint64_t delivered = 0;

// The main thread's side of a wake-up, without JavaScript.
void on_wakeup(uv_async_t *) {
    uv_mutex_lock(&listen_mutex);
    begin_wakeup();
    uv_mutex_unlock(&listen_mutex);
    status_snapshot s;
    for (;;) {
        uv_mutex_lock(&listen_mutex);
        bool taken = take_change(&s);
        uv_mutex_unlock(&listen_mutex);
        if (!taken) break;
        delivered++;
    }
}

void main_thread_turn() { uv_run(&main_loop, UV_RUN_NOWAIT); }

void on_capture_wakeup(uv_async_t *) {}

void setup() {
    // The enable and cyclic tables, the debounce window and debug mode stay
    // at their defaults; transfers and polls get no pause.
    i2c_delay = 0;
    can_bus_delay = 0;
    if (uv_loop_init(&main_loop) != 0 || init_bus_lock() != 0 ||
        init_async(&main_loop, on_wakeup) != 0 || init_capture_async(&main_loop, on_capture_wakeup) != 0) {
        fprintf(stderr, "core_bench: libuv set-up failed\n");
        exit(1);
    }
    sim_bridge::reset();
    sim_bridge::bus_speed(0);
    bus_choose();
    if (bus_open() != 0 || select_register(REG_RECEIVE) != 0) {
        fprintf(stderr, "core_bench: simulated bridge set-up failed\n");
        exit(1);
    }
    clear_mem(false, -1);
}

// Mean CPU time of `body` over n calls, each timed alone; `between` runs
// untimed after each call. Each call is paired with a timing of nothing in
// the same iteration, whose result is subtracted: reading the thread's CPU
// clock is a system call that costs several times a cycle, and its cost
// drifts with the machine's load.
double overhead_ns = 0;  // the last measured cost of a clock reading

template <typename Body, typename Between>
double per_call(int n, Body body, Between between) {
    int64_t sum = 0;
    int64_t empty = 0;
    for (int i = 0; i < n; i++) {
        int64_t a = cpu_ns();
        int64_t b = cpu_ns();
        body();
        int64_t c = cpu_ns();
        empty += b - a;
        sum += c - b;
        between();
    }
    overhead_ns = static_cast<double>(empty) / n;
    return static_cast<double>(sum - empty) / n;
}

// Mean CPU time per call of `body` timed as one batch: a check of per_call
// where nothing has to run between the calls.
template <typename Body>
double batch(int n, Body body) {
    int64_t a = cpu_ns();
    for (int i = 0; i < n; i++) body();
    int64_t b = cpu_ns();
    return static_cast<double>(b - a) / n;
}

void nothing() {}

void read_frame() {
    static uint8_t out[16];
    bus_read(out, 16);
}

void cycle() { listen_cycle(); }

const uint32_t CYCLIC_ID = 0x1A1;  // position 0, cyclic by default

// The slot of CYCLIC_ID holds `f`, and no change is pending.
void prime_slot(const frame16 &f) {
    sim_bridge::receive(f.bytes, 1);
    listen_cycle();
    main_thread_turn();
}

struct case_result {
    double cycle_ns;
    double read_ns;
    double batch_ns = -1;  // the cycle timed as a batch, where possible
};

case_result empty_poll(int n) {
    case_result r;
    r.cycle_ns = per_call(n, cycle, nothing);
    r.read_ns = per_call(n, read_frame, nothing);
    r.batch_ns = batch(n, cycle);
    return r;
}

case_result unchanged_frame(int n) {
    frame16 f = make_frame(CYCLIC_ID, 7);
    prime_slot(f);
    case_result r;
    sim_bridge::receive(f.bytes, static_cast<uint64_t>(n));
    r.cycle_ns = per_call(n, cycle, nothing);
    sim_bridge::receive(f.bytes, static_cast<uint64_t>(n));
    r.read_ns = per_call(n, read_frame, nothing);
    sim_bridge::receive(f.bytes, static_cast<uint64_t>(n));
    r.batch_ns = batch(n, cycle);
    return r;
}

// Every frame carries new data, so every cycle reports its slot and wakes
// the main thread, which takes the change before the next cycle.
case_result changed_frame(int n) {
    prime_slot(make_frame(CYCLIC_ID, 0));
    uint64_t before = delivered;
    for (int i = 0; i < n; i++) {
        frame16 f = make_frame(CYCLIC_ID, static_cast<uint32_t>(i + 1));
        sim_bridge::receive(f.bytes, 1);
    }
    case_result r;
    r.cycle_ns = per_call(n, cycle, main_thread_turn);
    if (delivered - before != static_cast<uint64_t>(n)) {
        fprintf(stderr, "core_bench: %" PRIu64 " of %d changes delivered\n", delivered - before, n);
        exit(1);
    }
    for (int i = 0; i < n; i++) {
        frame16 f = make_frame(CYCLIC_ID, static_cast<uint32_t>(i + 1));
        sim_bridge::receive(f.bytes, 1);
    }
    r.read_ns = per_call(n, read_frame, nothing);
    return r;
}

// The unchanged-frame cycle with a capture running. The main thread takes
// nothing meanwhile, as between two of its batches: the first frame wakes
// it, the others only go into the ring, which holds them all.
double capture_cycle(int n) {
    frame16 f = make_frame(CYCLIC_ID, 7);
    prime_slot(f);
    capture_start();
    sim_bridge::receive(f.bytes, static_cast<uint64_t>(n));
    double ns = per_call(n, cycle, nothing);
    capture_stop();
    if (capture_waiting() != static_cast<uint32_t>(n) || capture_take_counts().dropped != 0) {
        fprintf(stderr, "core_bench: %u of %d frames captured\n", capture_waiting(), n);
        exit(1);
    }
    capture_release(capture_waiting());
    main_thread_turn();
    return ns;
}

// The mirror, on a datagram socket pair standing in for a CAN interface
// (this machine's kernel may have no CAN), with a reader that keeps up:
// the unchanged-frame cycle with the mirror on, timed as above, then the
// link's pace (a frame every 385 us, a 16-byte read at 400 kHz) for a
// second. Both count what the reader got and what was dropped.
struct mirror_result {
    double cycle_ns;
    uint64_t sent, dropped, read;            // instant transfers
    uint64_t paced_sent, paced_dropped, paced_read;
};

mirror_result mirror_cycles(int n) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM, 0, pair) != 0) {
        fprintf(stderr, "core_bench: no socket pair\n");
        exit(1);
    }
    int nonblocking = 1;
    ioctl(pair[0], FIONBIO, &nonblocking);
    std::atomic<uint64_t> read{0};
    std::thread reader([&] {
        uint8_t can[16];
        while (recv(pair[1], can, sizeof can, 0) == static_cast<ssize_t>(sizeof can)) read++;
    });
    mirror_attach(pair[0], "bench0");
    frame16 f = make_frame(CYCLIC_ID, 7);
    prime_slot(f);
    sim_bridge::receive(f.bytes, static_cast<uint64_t>(n));
    mirror_result r;
    r.cycle_ns = per_call(n, cycle, nothing);
    mirror_counts counts;
    char iface[16];
    mirror_state(iface, sizeof iface, &counts);
    r.sent = counts.sent;
    r.dropped = counts.dropped;
    while (read.load() < counts.sent) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    r.read = read.load();
    uint64_t sent_before = counts.sent, dropped_before = counts.dropped;
    const int paced = 2600;
    sim_bridge::receive(f.bytes, paced);
    int64_t next = wall_ns();
    for (int i = 0; i < paced; i++) {
        listen_cycle();
        next += 385000;
        while (wall_ns() < next) std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    mirror_state(iface, sizeof iface, &counts);
    r.paced_sent = counts.sent - sent_before;
    r.paced_dropped = counts.dropped - dropped_before;
    while (read.load() < counts.sent) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    r.paced_read = read.load() - r.read;
    mirror_stop();
    shutdown(pair[1], SHUT_RDWR);
    reader.join();
    close(pair[1]);
    main_thread_turn();
    return r;
}

struct debug_result {
    double line_cpu_ns;   // log_message_line (format and queue), CPU time of the thread
    double line_wall_ns;  // the same, wall time
    double format_ns;     // formatting alone
    double cycle_ns;      // unchanged-frame cycle with the log on
};

// The log's writer thread gets its lines out between batches, untimed, so
// that every line is queued rather than dropped as it would be when the
// writer falls behind.
constexpr int LOG_BATCH = 1000;

debug_result debug_mode(int n, const char *log) {
    debug_result r;
    frame16 f = make_frame(CYCLIC_ID, 9);
    prime_slot(f);  // before the log is on: a reported frame prints its dump
    debug_log = true;
    if (log_open(log) != 0) exit(1);
    uint64_t t = timestamp();
    // Batches: a single line costs less than the clock's jitter.
    int64_t cpu = 0, wall = 0;
    for (int done = 0; done < n; done += LOG_BATCH) {
        int64_t c0 = cpu_ns(), w0 = wall_ns();
        for (int i = 0; i < LOG_BATCH; i++) log_message_line(f.bytes, t);
        cpu += cpu_ns() - c0;
        wall += wall_ns() - w0;
        if (!log_flush(10000)) exit(1);
    }
    int lines = (n + LOG_BATCH - 1) / LOG_BATCH * LOG_BATCH;
    r.line_cpu_ns = static_cast<double>(cpu) / lines;
    r.line_wall_ns = static_cast<double>(wall) / lines;
    char line[160];
    size_t total = 0;
    int64_t c0 = cpu_ns();
    for (int i = 0; i < n; i++) total += format_log_line(line, sizeof line, f.bytes, t, wall_clock_ns());
    int64_t c1 = cpu_ns();
    r.format_ns = static_cast<double>(c1 - c0) / n;
    if (total == 0) exit(1);

    sim_bridge::receive(f.bytes, static_cast<uint64_t>(n));
    int calls = 0;
    r.cycle_ns = per_call(n, cycle, [&] {
        if (++calls % LOG_BATCH == 0) log_flush(10000);
    });
    debug_log = false;
    return r;
}

// What the machine charges for waking an idle event loop: a libuv loop
// woken `rate` times a second through an asynchronous handle by another
// thread, doing nothing else. The main thread's share of a core that the
// driver's deliveries cost at that rate cannot fall below this. With
// `one_core`, both threads run on the first core: the signal then wakes a
// thread without waking another core, which is what separates the cost of
// the system call from that of the other core's wake-up.
struct wakeup_result {
    double share;        // of a core, of the loop's thread
    double per_wake_ns;  // CPU per wake-up
    double send_ns;      // wall time of one uv_async_send on the waking thread
    double send_cpu_ns;  // its CPU time there
};

void run_on_first_core() {
    cpu_set_t first;
    CPU_ZERO(&first);
    CPU_SET(0, &first);
    pthread_setaffinity_np(pthread_self(), sizeof first, &first);
}

std::atomic<bool> wakeups_done{false};
uint64_t wakeups = 0;

void on_reference_wakeup(uv_async_t *handle) {
    wakeups++;
    if (wakeups_done.load()) uv_close(reinterpret_cast<uv_handle_t *>(handle), nullptr);
}

wakeup_result wakeup_reference(double rate, double seconds, bool one_core) {
    cpu_set_t before;
    pthread_getaffinity_np(pthread_self(), sizeof before, &before);
    if (one_core) run_on_first_core();
    uv_loop_t loop;
    uv_async_t handle;
    uv_loop_init(&loop);
    uv_async_init(&loop, &handle, on_reference_wakeup);
    wakeups = 0;
    wakeups_done = false;
    int64_t send_total = 0;
    int64_t send_cpu_total = 0;
    int64_t sends = 0;
    std::thread waker([&] {
        if (one_core) run_on_first_core();
        int64_t period = static_cast<int64_t>(1e9 / rate);
        int64_t count = static_cast<int64_t>(rate * seconds);
        struct timespec next;
        clock_gettime(CLOCK_MONOTONIC, &next);
        for (int64_t i = 0; i < count; i++) {
            next.tv_nsec += period;
            while (next.tv_nsec >= 1000000000) {
                next.tv_nsec -= 1000000000;
                next.tv_sec++;
            }
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
            int64_t t0 = wall_ns(), cpu0 = cpu_ns();
            uv_async_send(&handle);
            send_cpu_total += cpu_ns() - cpu0;
            send_total += wall_ns() - t0;
            sends++;
        }
        wakeups_done = true;
        uv_async_send(&handle);
    });
    int64_t c0 = cpu_ns(), w0 = wall_ns();
    uv_run(&loop, UV_RUN_DEFAULT);
    int64_t c1 = cpu_ns(), w1 = wall_ns();
    waker.join();
    uv_loop_close(&loop);
    pthread_setaffinity_np(pthread_self(), sizeof before, &before);
    double per_send = static_cast<double>(sends > 0 ? sends : 1);
    return {static_cast<double>(c1 - c0) / static_cast<double>(w1 - w0),
            static_cast<double>(c1 - c0) / static_cast<double>(wakeups),
            static_cast<double>(send_total) / per_send, static_cast<double>(send_cpu_total) / per_send};
}

}  // namespace

int main(int argc, char **argv) {
    int n = argc > 1 ? atoi(argv[1]) : 100000;
    std::string log = argc > 2 ? argv[2] : std::string("qel_bench_log.txt");
    if (n < 1000) n = 1000;
    if (n > static_cast<int>(CAPTURE_RING_FRAMES)) n = static_cast<int>(CAPTURE_RING_FRAMES);
    setup();

    // Warm the caches, the allocator and the simulated bridge's queue.
    empty_poll(n / 10);
    unchanged_frame(n / 10);
    changed_frame(n / 10);
    capture_cycle(n / 10);

    case_result empty = empty_poll(n);
    case_result unchanged = unchanged_frame(n);
    case_result changed = changed_frame(n);
    double captured = capture_cycle(n);
    mirror_result mirrored = mirror_cycles(n);
    debug_result debug = debug_mode(n / 5, log.c_str());
    wakeup_result wake = wakeup_reference(1.15 * 2250, 0.5, false);
    wakeup_result one_core = wakeup_reference(1.15 * 2250, 0.5, true);

    printf("{\"cycles\":%d,\"clock_overhead_ns\":%.1f,"
           "\"empty\":{\"cycle_ns\":%.1f,\"read_ns\":%.1f,\"batch_ns\":%.1f},"
           "\"unchanged\":{\"cycle_ns\":%.1f,\"read_ns\":%.1f,\"batch_ns\":%.1f},"
           "\"changed\":{\"cycle_ns\":%.1f,\"read_ns\":%.1f},\"captured\":{\"cycle_ns\":%.1f},"
           "\"mirrored\":{\"cycle_ns\":%.1f,\"sent\":%" PRIu64 ",\"dropped\":%" PRIu64 ",\"read\":%" PRIu64
           ",\"paced_sent\":%" PRIu64 ",\"paced_dropped\":%" PRIu64 ",\"paced_read\":%" PRIu64 "},"
           "\"debug\":{\"line_cpu_ns\":%.1f,\"line_wall_ns\":%.1f,\"format_ns\":%.1f,\"cycle_ns\":%.1f},"
           "\"wakeup\":{\"share\":%.6f,\"per_wake_ns\":%.1f,\"send_ns\":%.1f,\"send_cpu_ns\":%.1f},"
           "\"wakeup_one_core\":{\"per_wake_ns\":%.1f,\"send_ns\":%.1f,\"send_cpu_ns\":%.1f}}\n",
           n, overhead_ns, empty.cycle_ns, empty.read_ns, empty.batch_ns, unchanged.cycle_ns,
           unchanged.read_ns, unchanged.batch_ns,
           changed.cycle_ns, changed.read_ns, captured, mirrored.cycle_ns, mirrored.sent, mirrored.dropped,
           mirrored.read, mirrored.paced_sent, mirrored.paced_dropped, mirrored.paced_read, debug.line_cpu_ns, debug.line_wall_ns, debug.format_ns,
           debug.cycle_ns, wake.share, wake.per_wake_ns, wake.send_ns, wake.send_cpu_ns, one_core.per_wake_ns,
           one_core.send_ns, one_core.send_cpu_ns);
    return 0;
}
