// Capture: every frame the receive thread reads from the bridge, with its
// reception time, handed to the main thread in batches.
//
// The receive thread never waits for the main thread: when the fixed ring
// is full the frame is dropped and counted. Empty polls are counted, not
// stored. While no capture runs, the receive cycle pays one test of a flag.
// Who writes and reads the ring, and under which lock: threads.h.
#pragma once

#include <cstdint>

#include <uv.h>

struct captured_frame {
    uint64_t time_us;  // reception, microseconds since the Unix epoch
    uint16_t id;       // bytes 2-3 of the bridge frame
    uint8_t length;    // the length code as received
    uint8_t flags;     // CAPTURE_*
    uint8_t data[8];   // all eight data bytes, whatever the length code
};

constexpr uint8_t CAPTURE_CHECKSUM_ERROR = 0x01;
constexpr uint8_t CAPTURE_SIMULATED = 0x02;

// 100,000 frames at the simulated bridge's instant pace fit with room to
// spare, whatever the main thread does meanwhile; 3 MiB.
constexpr uint32_t CAPTURE_RING_FRAMES = 1u << 17;

// Called by the receive cycle with every frame it takes, under the bus lock.
void capture_frame(const uint8_t *frame, bool simulated);

// The wake-up of the main thread, which never keeps the event loop alive
// (a started driver does that). A frame signals it only when it is the
// first since the main thread began its latest pass over the ring.
int init_capture_async(uv_loop_t *loop, uv_async_cb cb);
// Closes the handle as its environment ends; returns how many handles
// close (0 or 1). A later init_capture_async sets it up anew, on another
// loop.
int close_capture_async(uv_close_cb closed);

// Main thread. capture_start() forgets whatever an earlier capture left and
// counts from zero. After capture_stop() returns, the receive thread writes
// nothing more; what it wrote before stays to be taken.
void capture_start();
void capture_stop();

// Called once at the start of every pass of the main thread, before it
// looks at the ring: arms the next signal.
void capture_begin_pass();
// Keeps the receive thread from signalling until the next pass begins: the
// main thread will look by itself.
void capture_hold_wakeups();
// Frames waiting, oldest first; capture_waiting_at(i) for i below the count.
uint32_t capture_waiting();
const captured_frame &capture_waiting_at(uint32_t i);
// Hands the oldest `count` places back to the receive thread.
void capture_release(uint32_t count);

struct capture_counts {
    uint64_t dropped;  // frames lost to a full ring
    uint64_t empty;    // empty polls
};
// The counts since the previous call (or the start); resets them.
capture_counts capture_take_counts();
