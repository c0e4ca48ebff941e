// The driver's lifecycle: stopped -> starting -> running -> stopping ->
// stopped, and the one start and the one stop that move it.
//
// Every way a driver is let go takes the same stop: the undo of a start that
// failed half-way, driverStop() (and Bus.close(), which calls it), and the
// end of the environment (the main thread or a worker) that ran it. The
// stop ends and joins every thread the start created: the receive thread,
// the heartbeat thread, the transmit thread (after the frame it is
// writing; the JavaScript layer settles what it wrote and did not write)
// and the debug log's writer. Capture records on the
// receive thread and the mirror sends from it: neither has a thread of its
// own, and both stop with it. Node unloads the add-on once the last
// environment using it ends, so no thread of the driver may outlive a stop.
//
// Main thread only. Plain C++: what only the JavaScript layer can do at a
// stop (hand capture's function its last batch, and tell the delivery that
// a wake-up already signalled will find nothing) it lends as a step.
#pragma once

#include <cstdint>

#include <uv.h>

enum class driver_state : uint8_t { stopped, starting, running, stopping };

// Why a driver is let go: a start failed half-way, driverStop (or
// Bus.close), or the end of the environment that ran it.
enum class stop_kind : uint8_t { failed_start, stop, environment_ends };

// The steps of a start, in their order; `bridge` covers everything
// driver_start() does (the bus, the bit rate, the receive register, the log).
enum class start_step : uint8_t { none, bridge, async, lock, threads };

// What a failed start says: the step, the message that names it, and the
// libuv error of the system call that failed (0 when none did) with the
// call's name where the bus's open knows it.
struct start_failure {
    start_step step = start_step::none;
    const char *message = nullptr;
    int uv_error = 0;
    const char *syscall = nullptr;
};

// The JavaScript layer's part of a stop; it runs first, while the driver
// still counts as started, so that capture's function may still read the
// slots. Without one (the core's tests), capture stops without a batch.
using stop_js_fn = void (*)(stop_kind how);
void lifecycle_js_step(stop_js_fn step);

// Starts the driver with the settings already applied: the bridge, the
// wake-up handle on `loop` (calling `wake` there), the bus lock, the two
// driver threads. Returns 0 when running; otherwise the start is undone
// (a stop of kind failed_start) and `why` says what failed.
int lifecycle_start(uv_loop_t *loop, uv_async_cb wake, start_failure *why);

// The stop, in reverse order of the start: capture's last batch (or none),
// the wake-up no longer holding the loop, the driver threads asked to end
// and joined, the mirror, the pending changes, the log (its writer
// joined), the bus; a stop that is no failed start then restores the
// load-time settings and clears the slots. A stop asked for while one runs
// (capture's function calling driverStop) returns at once.
void lifecycle_stop(stop_kind how);

driver_state lifecycle_state();
// Whether a start ever succeeded in this process.
bool driver_ever_started();

#ifdef QEL_TEST_HOOKS
// Makes that step of every start fail as a process out of resources would
// (the async and lock steps with UV_ENOMEM; the threads step creates the
// receive thread and not the heartbeat thread); start_step::none heals.
void lifecycle_fail_step(start_step step);
#endif
