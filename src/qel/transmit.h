// The transmit queue: the frames of Bus.send and Bus.writeParameter,
// written to the bridge in the order they were queued, each once, by a
// thread of the driver, so that the main thread never waits for the bus.
// The transmit thread takes the bus lock for each frame as the main thread
// does for sendCommand, so the receive loop and the heartbeat keep their
// timing. Who owns what: threads.h.
//
// This code runs on the driver threads and knows nothing of JavaScript.
#pragma once

#include <cstdint>

#include "frame.h"

// Frames queued or written whose result the main thread has not taken yet.
constexpr uint32_t TRANSMIT_QUEUE_SLOTS = 64;

// A frame written: its ticket (the number transmit_queue gave it), the
// bus's result code (0 when written) and, where the system said why it
// failed, its error.
struct transmit_result {
    uint32_t ticket;
    uint8_t code;
    bool parameter;
    int uv_error;  // the failed write's errno as a libuv error, 0 when none is known
};

// Main thread: queues a whole transmit frame (register byte first) and
// gives its ticket; 1 when TRANSMIT_QUEUE_SLOTS frames are still queued or
// untaken, and then nothing is queued.
int transmit_queue(const uint8_t frame[TRANSMIT_BYTES], bool parameter, uint32_t *ticket);
bool transmit_queue_full();
// send_command's and write_parameter's frames queued, with the same lines
// at the call; 1 when the queue is full, and then nothing is printed.
int queue_command(uint32_t *ticket);
int queue_parameter(uint32_t *ticket);
// Main thread: the next frame written, in ticket order; false when none.
bool take_transmitted(transmit_result *out);
// Main thread, once the transmit thread is joined: forgets the frames it
// did not write (their tickets follow those taken) and returns how many.
uint32_t transmit_forget();

// The transmit thread: writes queued frames until asked to end, which it
// does after the frame it is writing.
void transmitter(void *arg);
void request_transmit_stop();
// Readies the next start once the thread is joined.
void rearm_transmitter();
