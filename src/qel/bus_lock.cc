#include "bus_lock.h"

#include <sched.h>
#include <time.h>

#include <atomic>

uv_mutex_t listen_mutex;
static bool lock_ready = false;

int init_bus_lock() {
    if (lock_ready) return 0;
    int rc = uv_mutex_init(&listen_mutex);
    if (rc == 0) lock_ready = true;
    return rc;
}

bool bus_lock_ready() { return lock_ready; }

#ifdef QEL_BUS_LOCK_PROBE
// Benchmark builds time every hold of the bus lock, on the clock and on the
// holder's own CPU clock: a holder that the scheduler preempts holds the
// lock longer than its own work takes.
static thread_local int64_t held_since_ns = 0;
static thread_local int64_t held_since_cpu_ns = 0;
static std::atomic<int64_t> longest_hold_ns{0};
static std::atomic<int64_t> longest_cpu_hold_ns{0};

static int64_t probe_clock_ns(clockid_t clock) {
    struct timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

static void keep_longest(std::atomic<int64_t> &longest_so_far, int64_t held) {
    int64_t longest = longest_so_far.load(std::memory_order_relaxed);
    while (held > longest && !longest_so_far.compare_exchange_weak(longest, held, std::memory_order_relaxed)) {
    }
}

static void hold_begins() {
    held_since_ns = probe_clock_ns(CLOCK_MONOTONIC);
    held_since_cpu_ns = probe_clock_ns(CLOCK_THREAD_CPUTIME_ID);
}

static void hold_ends() {
    keep_longest(longest_cpu_hold_ns, probe_clock_ns(CLOCK_THREAD_CPUTIME_ID) - held_since_cpu_ns);
    keep_longest(longest_hold_ns, probe_clock_ns(CLOCK_MONOTONIC) - held_since_ns);
}

int64_t bus_lock_longest_hold_ns(bool reset) {
    return reset ? longest_hold_ns.exchange(0) : longest_hold_ns.load();
}

int64_t bus_lock_longest_cpu_hold_ns(bool reset) {
    return reset ? longest_cpu_hold_ns.exchange(0) : longest_cpu_hold_ns.load();
}
#else
static void hold_begins() {}
static void hold_ends() {}
#endif

// Threads other than the receive thread announce that they wait; `grants`
// tells the stepping-aside receive thread that one of them got the lock.
static std::atomic<int> bus_waiters{0};
static std::atomic<uint32_t> bus_grants{0};

void bus_lock() {
    bus_waiters.fetch_add(1, std::memory_order_acq_rel);
    uv_mutex_lock(&listen_mutex);
    hold_begins();
    bus_waiters.fetch_sub(1, std::memory_order_acq_rel);
    bus_grants.fetch_add(1, std::memory_order_acq_rel);
}

void bus_unlock() {
    hold_ends();
    uv_mutex_unlock(&listen_mutex);
}

void receive_lock() {
    uv_mutex_lock(&listen_mutex);
    hold_begins();
}

void receive_unlock() {
    hold_ends();
    uv_mutex_unlock(&listen_mutex);
}

// A mutex is not fair: a thread that unlocks and locks again at once keeps
// winning it. So the receive thread lets a waiting thread go first.
// Every thread waiting at this moment gets its turn, so a command does not
// wait for a poll that overtook it after the heartbeat's turn.
void step_aside_for_waiters() {
    int waiting = bus_waiters.load(std::memory_order_acquire);
    if (waiting == 0) return;
    uint32_t start = bus_grants.load(std::memory_order_acquire);
    while (bus_waiters.load(std::memory_order_acquire) > 0 &&
           bus_grants.load(std::memory_order_acquire) - start < static_cast<uint32_t>(waiting)) {
        sched_yield();
    }
}
