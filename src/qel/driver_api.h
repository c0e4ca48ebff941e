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

// The file start-up reads the board's model name from; an empty path skips
// the board check (the simulated bridge runs on any machine).
extern const char *board_model_path;
// True for a board whose I2C controller the bcm2835 library cannot drive;
// `model` is the device tree's model name.
bool board_refused(const char *model);
// Prints the refusal and returns 1 on a machine that is not a Raspberry Pi
// or on a board that board_refused names; the bcm2835 path runs it first,
// the kernel's path drives every board.
int check_board();

// Initialises the wake-up handle on `loop` once; later calls reuse it. It
// keeps the event loop alive while the driver runs, and no longer once
// release_async() let it go (a stop).
int init_async(uv_loop_t *loop, uv_async_cb cb);
void release_async();

// Starts the receive thread, then the heartbeat thread. A thread that was
// created by an earlier, partly failed call is kept, so a successful retry
// leaves exactly one of each; neither thread touches the bus until both
// exist. Returns 0 on success, else the libuv error of the creation.
int start_driver_threads();

// How driver threads are created; tests replace it to make creation fail.
using thread_create_fn = int (*)(uv_thread_t *, uv_thread_cb, void *);
extern thread_create_fn driver_thread_create;

// Undoes a start, whole or in part, in the reverse order of its steps: ends
// and joins the driver threads, stops the mirror, forgets the pending
// changes, closes the debug log and the bus; does nothing for a step that
// was not taken. A stop (`stopping`) also puts every setting back to its
// load-time value and clears the slots; a failed start keeps the settings
// it applied, as it always did. The JavaScript layer ends capture and
// lets its handles go around it.
void driver_release(bool stopping);

// Whether driverStart ever succeeded in this process.
extern bool driver_ever_started;

// Rebuilds entries 0-12 of `table` from a list of CAN identifiers.
void set_flags_from_ids(int32_t *table, const uint32_t *ids, size_t count);
