#include "lifecycle.h"

#include <atomic>

#include "bridge_link.h"
#include "bus.h"
#include "bus_lock.h"
#include "capture.h"
#include "config.h"
#include "diagnostics.h"
#include "driver_api.h"
#include "handoff.h"
#include "message_memory.h"
#include "mirror.h"
#include "transmit.h"

namespace {

driver_state state = driver_state::stopped;
bool ever_started = false;
// Set as each environment loads the module (every one the same function),
// read by the one that owns the driver.
std::atomic<stop_js_fn> js_step{nullptr};

#ifdef QEL_TEST_HOOKS
start_step failing_step = start_step::none;

int failure_of(start_step step) { return failing_step == step ? UV_ENOMEM : 0; }

// The threads step fails as a process out of threads would: the receive
// thread is created, the heartbeat thread is not.
int create_receive_only(uv_thread_t *thread, uv_thread_cb entry, void *arg) {
    return entry == heartbit ? UV_EAGAIN : uv_thread_create(thread, entry, arg);
}
#else
int failure_of(start_step) { return 0; }
#endif

// Fills `why` and undoes what the start created; always 1.
int undo_start(start_failure *why, start_step step, const char *message, int uv_error) {
    why->step = step;
    why->message = message;
    why->uv_error = uv_error;
    lifecycle_stop(stop_kind::failed_start);
    return 1;
}

int bridge_failed(start_failure *why) {
    int err = bus_open_error(&why->syscall);
    return undo_start(why, start_step::bridge, MSG_START_FAILED, err != 0 ? uv_translate_sys_error(err) : 0);
}

}  // namespace

void lifecycle_js_step(stop_js_fn step) { js_step.store(step, std::memory_order_relaxed); }

int lifecycle_start(uv_loop_t *loop, uv_async_cb wake, start_failure *why) {
    state = driver_state::starting;
    if (driver_start() != 0) return bridge_failed(why);
    mirror_from_environment();
    int rc = failure_of(start_step::async);
    if (rc == 0) rc = init_async(loop, wake);
    if (rc != 0) return undo_start(why, start_step::async, MSG_UV_FAILED, rc);
    rc = failure_of(start_step::lock);
    if (rc == 0) rc = init_bus_lock();
    if (rc != 0) return undo_start(why, start_step::lock, MSG_MUTEX_FAILED, rc);
    // What a driver let go with its environment left queued is no one's.
    transmit_forget();
    rc = start_driver_threads();
    if (rc != 0) return undo_start(why, start_step::threads, MSG_THREADS_FAILED, rc);
    driver_started = true;
    ever_started = true;
    state = driver_state::running;
    return 0;
}

// Nothing the driver threads use goes before they are joined: once they
// are, the state they share needs no lock. A failed start keeps the
// settings it applied, as it always did.
void lifecycle_stop(stop_kind how) {
    if (state == driver_state::stopping) return;
    state = driver_state::stopping;
    stop_js_fn step = js_step.load(std::memory_order_relaxed);
    if (step != nullptr) step(how);
    else if (how != stop_kind::failed_start) capture_stop();
    release_async();
    join_driver_threads();
    mirror_stop();
    drop_changes();
    log_close_now();
    close_bridge();
    driver_started = false;
    if (how != stop_kind::failed_start) {
        restore_settings();
        clear_mem(false, -1);
        simulate = 0;
    }
    state = driver_state::stopped;
}

driver_state lifecycle_state() { return state; }

bool driver_ever_started() { return ever_started; }

#ifdef QEL_TEST_HOOKS
void lifecycle_fail_step(start_step step) {
    failing_step = step;
    set_driver_thread_create(step == start_step::threads ? create_receive_only : uv_thread_create);
}
#endif
