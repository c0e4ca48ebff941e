// The environment (the main thread, or one worker) that owns the driver's
// JavaScript side: the registered function, the status-object builder, the
// wake-up handles on its event loop, the console's stream. The bus is one,
// so one environment at a time uses the driver: the first that calls one
// of its functions, until that environment ends. Its end stops a running
// driver and closes every handle on its loop, so that the next owner (a
// later worker) starts from nothing.
#include <atomic>

#include "diagnostics.h"
#include "driver_api.h"
#include "lifecycle.h"
#include "js_layer.h"

namespace {

std::atomic<v8::Isolate *> owner{nullptr};
// Held while the hook is registered: letting go of it unregisters the hook
// (a no-op once the hook has run).
node::AsyncCleanupHookHandle release_hook;

// The handles still closing, and whom to tell when the last has closed.
int closing = 0;
void (*closed_done)(void *) = nullptr;
void *closed_arg = nullptr;

// The next environment may take the driver once nothing of this one's is
// left on its loop.
void all_closed() {
    owner.store(nullptr, std::memory_order_release);
    closed_done(closed_arg);
}

void one_closed(uv_handle_t *) {
    if (--closing == 0) all_closed();
}

// The runtime no longer runs JavaScript here: the driver stops without
// handing capture a last batch; the handles close, and the environment may
// go once they have.
void release_env(void *, void (*done)(void *), void *arg) {
    log_path_give("");  // a start that the end cut short leaves no path behind
    if (lifecycle_state() == driver_state::running) lifecycle_stop(stop_kind::environment_ends);
    closed_done = done;
    closed_arg = arg;
    closing = 1;
    closing += close_delivery(one_closed);
    closing += close_capture(one_closed);
    closing += close_console(one_closed);
    if (--closing == 0) all_closed();
}

}  // namespace

bool own_env() {
    v8::Isolate *isolate = v8::Isolate::GetCurrent();
    v8::Isolate *none = nullptr;
    if (owner.load(std::memory_order_acquire) == isolate) return true;
    if (!owner.compare_exchange_strong(none, isolate, std::memory_order_acq_rel)) {
        throw_type_error(MSG_IN_OTHER_THREAD, CODE_IN_OTHER_THREAD);
        return false;
    }
    release_hook = node::AddEnvironmentCleanupHook(isolate, release_env, nullptr);
    init_console();
    return true;
}
