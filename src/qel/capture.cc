#include "capture.h"

#include <atomic>
#include <cstring>

#include "bus_lock.h"
#include "diagnostics.h"
#include "frame.h"

namespace {

std::atomic<bool> capture_on{false};
uv_async_t capture_async;

// One writer (the receive thread, advancing the tail) and one reader (the
// main thread, advancing the head); positions count for ever and wrap
// modulo 2^32, which the ring's size divides.
captured_frame ring[CAPTURE_RING_FRAMES];
std::atomic<uint32_t> ring_tail{0};
std::atomic<uint32_t> ring_head{0};
std::atomic<uint64_t> dropped{0};
std::atomic<uint64_t> empty_polls{0};
std::atomic<bool> pass_requested{false};
std::atomic<bool> wakeup_ready{false};

static_assert((CAPTURE_RING_FRAMES & (CAPTURE_RING_FRAMES - 1)) == 0, "the ring's size is a power of two");

uint32_t slot_of(uint32_t position) { return position & (CAPTURE_RING_FRAMES - 1); }

void wake_main_thread() {
    if (pass_requested.load(std::memory_order_seq_cst)) return;
    if (pass_requested.exchange(true, std::memory_order_seq_cst)) return;
    if (wakeup_ready.load(std::memory_order_acquire)) uv_async_send(&capture_async);
}

}  // namespace

static void capture_record(const uint8_t *frame, bool simulated) {
    // Sixteen bytes of 0xFF are no empty poll but a fault (frame.h): taken,
    // with its wrong checksum.
    if (frame[FRAME_LENGTH_AT] == LEN_EMPTY && frame_checksum_ok(frame)) {
        empty_polls.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    uint32_t tail = ring_tail.load(std::memory_order_relaxed);
    if (tail - ring_head.load(std::memory_order_acquire) >= CAPTURE_RING_FRAMES) {
        dropped.fetch_add(1, std::memory_order_relaxed);
        wake_main_thread();
        return;
    }
    captured_frame &out = ring[slot_of(tail)];
    out.time_us = static_cast<uint64_t>(wall_clock_ns() / 1000);
    out.id = static_cast<uint16_t>(frame_id(frame));
    out.length = frame[FRAME_LENGTH_AT];
    out.flags = simulated ? CAPTURE_SIMULATED : 0;
    if (!frame_checksum_ok(frame)) out.flags |= CAPTURE_CHECKSUM_ERROR;
    memcpy(out.data, frame + FRAME_DATA_AT, sizeof out.data);
    ring_tail.store(tail + 1, std::memory_order_seq_cst);
    wake_main_thread();
}

// While no capture runs, the receive cycle pays one test of a flag.
void capture_frame(const uint8_t *frame, bool simulated) {
    if (capture_on.load(std::memory_order_relaxed)) capture_record(frame, simulated);
}

int init_capture_async(uv_loop_t *loop, uv_async_cb cb) {
    if (wakeup_ready.load(std::memory_order_acquire)) return 0;
    int rc = uv_async_init(loop, &capture_async, cb);
    if (rc != 0) return rc;
    uv_unref(reinterpret_cast<uv_handle_t *>(&capture_async));
    wakeup_ready.store(true, std::memory_order_release);
    return 0;
}

int close_capture_async(uv_close_cb closed) {
    if (!wakeup_ready.load(std::memory_order_acquire)) return 0;
    wakeup_ready.store(false, std::memory_order_release);
    uv_close(reinterpret_cast<uv_handle_t *>(&capture_async), closed);
    return 1;
}

void capture_start() {
    ring_head.store(ring_tail.load(std::memory_order_acquire), std::memory_order_release);
    dropped.store(0, std::memory_order_relaxed);
    empty_polls.store(0, std::memory_order_relaxed);
    pass_requested.store(false, std::memory_order_seq_cst);
    capture_on.store(true, std::memory_order_release);
}

void capture_stop() {
    // The receive thread records only while it holds the bus lock: once the
    // lock has changed hands, no frame is half written and none follows.
    if (!bus_lock_ready()) {
        capture_on.store(false, std::memory_order_release);
        return;
    }
    bus_lock();
    capture_on.store(false, std::memory_order_release);
    bus_unlock();
}

void capture_begin_pass() { pass_requested.store(false, std::memory_order_seq_cst); }

void capture_hold_wakeups() { pass_requested.store(true, std::memory_order_seq_cst); }

uint32_t capture_waiting() {
    return ring_tail.load(std::memory_order_seq_cst) - ring_head.load(std::memory_order_relaxed);
}

const captured_frame &capture_waiting_at(uint32_t i) {
    return ring[slot_of(ring_head.load(std::memory_order_relaxed) + i)];
}

void capture_release(uint32_t count) {
    ring_head.store(ring_head.load(std::memory_order_relaxed) + count, std::memory_order_release);
}

capture_counts capture_take_counts() {
    return {dropped.exchange(0, std::memory_order_relaxed), empty_polls.exchange(0, std::memory_order_relaxed)};
}
