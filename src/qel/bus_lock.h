// The bus lock: one transfer on the I2C bus at a time, and with it the
// driver's shared state (threads.h says what it guards), plus the rule that
// keeps the receive thread, which polls back to back, from starving the
// others.
//
// This code runs on the driver threads and knows nothing of JavaScript.
#pragma once

#include <cstdint>

#include <uv.h>

extern uv_mutex_t listen_mutex;

// Initialises the bus lock once; later calls reuse it.
int init_bus_lock();
// Whether init_bus_lock() has succeeded: before, no driver thread exists
// and there is nothing to take turns with.
bool bus_lock_ready();

// The bus lock as taken by the main and heartbeat threads. The receive
// thread steps aside after each cycle while one of them waits, so neither
// waits for more than one transfer.
void bus_lock();
void bus_unlock();

// The receive thread's side: it takes the lock without announcing itself,
// and after releasing it lets every thread that waited at that moment go
// first.
void receive_lock();
void receive_unlock();
void step_aside_for_waiters();

#ifdef QEL_BUS_LOCK_PROBE
// The longest hold of the bus lock by any thread so far, in ns; `reset`
// starts a new measurement. Benchmark builds only.
int64_t bus_lock_longest_hold_ns(bool reset);
// The same, in the holder's own CPU time.
int64_t bus_lock_longest_cpu_hold_ns(bool reset);
#endif
