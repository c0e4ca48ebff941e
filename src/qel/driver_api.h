// Driver configuration and start-up: the part of the driver API that knows
// nothing of JavaScript.
#pragma once

#include <cstddef>
#include <cstdint>

#include <uv.h>

#include "config.h"

extern bool driver_started;

// Brings up the I2C master and the bridge; 0 when the bridge is ready.
int driver_start();

// True for a board whose I2C controller the bcm2835 library cannot drive;
// `model` is the device tree's model name.
bool board_refused(const char *model);
// Prints the refusal and returns 1 on a machine that is not a Raspberry Pi
// or on a board that board_refused names; the bcm2835 path runs it first,
// the kernel's path drives every board.
int check_board();

// Starts the receive thread, the heartbeat thread, then the transmit
// thread. A thread that was created by an earlier, partly failed call is
// kept, so a successful retry leaves exactly one of each; neither of the
// first two touches the bus until both exist, and the transmit thread not
// before a frame is queued, which only a running driver does. Returns 0 on success, else the libuv error of the creation.
int start_driver_threads();

// Asks the driver threads to end, joins those that were created and readies
// the next start; nothing for threads that were not.
void join_driver_threads();
// Closes the bus if start-up opened it.
void close_bridge();

#ifdef QEL_TEST_HOOKS
// How driver threads are created; tests replace it to make creation fail.
using thread_create_fn = int (*)(uv_thread_t *, uv_thread_cb, void *);
void set_driver_thread_create(thread_create_fn create);
// The file start-up reads the board's model name from, instead of the
// build's (the simulated flavour's is empty: no board check); '' skips it.
void set_board_model_path(const char *path);
#endif

// Rebuilds entries 0-12 of `table` from a list of CAN identifiers.
void set_flags_from_ids(int32_t *table, const uint32_t *ids, size_t count);
