#include "transmit.h"

#include <pthread.h>

#include <atomic>
#include <cstring>

#include "bus.h"
#include "bus_lock.h"
#include "bridge_link.h"
#include "diagnostics.h"
#include "handoff.h"

// A ring of TRANSMIT_QUEUE_SLOTS entries and three free-running counters:
// the main thread queues at `queued`, the transmit thread writes at
// `written`, the main thread takes results at `taken`. An entry is the
// main thread's from `taken` back round to `queued`, the transmit thread's
// from `written` to `queued`; each counter has one writer. The ring's
// size divides 2^32, so the counters index it the same way across their
// wrap.

namespace {

static_assert((TRANSMIT_QUEUE_SLOTS & (TRANSMIT_QUEUE_SLOTS - 1)) == 0, "a power of two");

struct entry {
    uint8_t frame[TRANSMIT_BYTES];
    bool parameter;
    uint8_t code;   // these two are the transmit thread's, until `written`
    int uv_error;   // passes the entry
};

entry ring[TRANSMIT_QUEUE_SLOTS];
std::atomic<uint32_t> queued{0};
std::atomic<uint32_t> written{0};
uint32_t taken = 0;  // main thread only
std::atomic<bool> stopping{false};

// The transmit thread sleeps on `work` while nothing is queued, and says
// so in `idle` first: a frame queued while it writes costs the main thread
// no system call. The queueing stores `queued` and then reads `idle`, the
// thread stores `idle` and then reads `queued` (all sequentially
// consistent), so at least one of the two sees the other's store. The
// signal follows the unlock, so that the thread it wakes does not wait
// for the lock again.
pthread_mutex_t work_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t work = PTHREAD_COND_INITIALIZER;
std::atomic<bool> idle{false};

void wake_transmitter() {
    if (!idle.load()) return;
    pthread_mutex_lock(&work_lock);
    pthread_mutex_unlock(&work_lock);
    pthread_cond_signal(&work);
}

// True when there is a frame to write, false when the thread is to end.
bool wait_for_frame(uint32_t next) {
    pthread_mutex_lock(&work_lock);
    idle.store(true);
    while (!stopping.load() && queued.load() == next) {
        pthread_cond_wait(&work, &work_lock);
    }
    idle.store(false);
    pthread_mutex_unlock(&work_lock);
    return !stopping.load(std::memory_order_acquire);
}

// One frame, under the bus lock as every transfer; its lines after.
void write_frame(entry &e) {
    bus_transfer_failed(0);
    bus_lock();
    uint8_t code = bus_write(e.frame, TRANSMIT_BYTES);
    data = code;
    bus_unlock();
    e.code = code;
    int err = code != BUS_OK ? bus_transfer_error() : 0;
    e.uv_error = err != 0 ? uv_translate_sys_error(err) : 0;
    if (code != BUS_OK) {
        console_line(MSG_SEND_FAILED);
    } else {
        console_line(e.parameter ? MSG_PARAM_WRITTEN : MSG_CMD_SENT);
    }
}

}  // namespace

bool transmit_queue_full() { return queued.load(std::memory_order_relaxed) - taken >= TRANSMIT_QUEUE_SLOTS; }

int transmit_queue(const uint8_t frame[TRANSMIT_BYTES], bool parameter, uint32_t *ticket) {
    if (transmit_queue_full()) return 1;
    uint32_t at = queued.load(std::memory_order_relaxed);
    entry &e = ring[at % TRANSMIT_QUEUE_SLOTS];
    memcpy(e.frame, frame, TRANSMIT_BYTES);
    e.parameter = parameter;
    e.code = BUS_OK;
    e.uv_error = 0;
    queued.store(at + 1);
    *ticket = at;
    wake_transmitter();
    return 0;
}

int queue_command(uint32_t *ticket) {
    if (transmit_queue_full()) return 1;
    uint8_t frame[TRANSMIT_BYTES];
    prepare_command(frame);
    return transmit_queue(frame, false, ticket);
}

int queue_parameter(uint32_t *ticket) {
    if (transmit_queue_full()) return 1;
    uint8_t frame[TRANSMIT_BYTES];
    prepare_parameter(frame);
    return transmit_queue(frame, true, ticket);
}

bool take_transmitted(transmit_result *out) {
    if (taken == written.load(std::memory_order_acquire)) return false;
    const entry &e = ring[taken % TRANSMIT_QUEUE_SLOTS];
    out->ticket = taken;
    out->code = e.code;
    out->parameter = e.parameter;
    out->uv_error = e.uv_error;
    taken++;
    return true;
}

uint32_t transmit_forget() {
    uint32_t end = queued.load(std::memory_order_relaxed);
    uint32_t dropped = end - written.load(std::memory_order_acquire);
    written.store(end, std::memory_order_relaxed);
    taken = end;
    return dropped;
}

void transmitter(void *) {
    // Each frame's lines come before its result, whose wake-up hands them
    // on: a wake-up of the console's own would cost the main thread a
    // second callback per frame.
    console_thread_wakes_itself();
    uint32_t next = written.load(std::memory_order_relaxed);
    while (wait_for_frame(next)) {
        write_frame(ring[next % TRANSMIT_QUEUE_SLOTS]);
        written.store(++next, std::memory_order_release);
        // The main thread settles the frame's promise at its next wake-up.
        wake_main_thread();
    }
}

void request_transmit_stop() {
    pthread_mutex_lock(&work_lock);
    stopping.store(true, std::memory_order_release);
    pthread_cond_signal(&work);
    pthread_mutex_unlock(&work_lock);
}

void rearm_transmitter() { stopping.store(false, std::memory_order_release); }
