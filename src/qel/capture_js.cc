// capture(fn): the frames the receive thread reads, handed to a JavaScript
// function in batches.
#include <cstring>

#include "capture.h"
#include "diagnostics.h"
#include "js_layer.h"

namespace {

// While frames keep coming, a batch is taken this often, by a timer, and the
// receive thread sends no wake-up: at the bus's pace every frame would
// otherwise wake the event loop on its own. The first frame after a quiet
// spell wakes it at once.
constexpr uint64_t BATCH_INTERVAL_MS = 10;

Nan::Persistent<v8::Function> capture_function;
Nan::AsyncResource *capture_resource = nullptr;
uv_timer_t batch_timer;
bool handles_ready = false;
uint64_t empty_carried = 0;  // empty polls counted since the last batch

// The columns of a batch share one ArrayBuffer: per frame the time (8
// bytes), the data (8), the identifier (2), the length code, and the two
// flags.
constexpr size_t BYTES_PER_FRAME = 21;

void fill_columns(uint8_t *base, uint32_t n) {
    double *time = reinterpret_cast<double *>(base);
    uint8_t *data = base + 8 * size_t{n};
    uint16_t *id = reinterpret_cast<uint16_t *>(base + 16 * size_t{n});
    uint8_t *length = base + 18 * size_t{n};
    uint8_t *checksum_error = base + 19 * size_t{n};
    uint8_t *simulated = base + 20 * size_t{n};
    for (uint32_t i = 0; i < n; i++) {
        const captured_frame &f = capture_waiting_at(i);
        time[i] = static_cast<double>(f.time_us);
        memcpy(data + 8 * size_t{i}, f.data, 8);
        id[i] = f.id;
        length[i] = f.length;
        checksum_error[i] = (f.flags & CAPTURE_CHECKSUM_ERROR) != 0;
        simulated[i] = (f.flags & CAPTURE_SIMULATED) != 0;
    }
}

// Takes the `n` waiting frames into a new batch object.
v8::Local<v8::Object> take_batch(uint32_t n, const capture_counts &counts) {
    v8::Local<v8::ArrayBuffer> columns = v8::ArrayBuffer::New(v8::Isolate::GetCurrent(), BYTES_PER_FRAME * n);
    fill_columns(static_cast<uint8_t *>(columns->GetBackingStore()->Data()), n);
    capture_release(n);
    v8::Local<v8::Object> batch = Nan::New<v8::Object>();
    set_property(batch, "count", Nan::New(n));
    set_property(batch, "time", v8::Float64Array::New(columns, 0, n));
    set_property(batch, "id", v8::Uint16Array::New(columns, 16 * size_t{n}, n));
    set_property(batch, "length", v8::Uint8Array::New(columns, 18 * size_t{n}, n));
    set_property(batch, "data", v8::Uint8Array::New(columns, 8 * size_t{n}, 8 * size_t{n}));
    set_property(batch, "checksumError", v8::Uint8Array::New(columns, 19 * size_t{n}, n));
    set_property(batch, "simulated", v8::Uint8Array::New(columns, 20 * size_t{n}, n));
    set_property(batch, "dropped", Nan::New(static_cast<double>(counts.dropped)));
    set_property(batch, "empty", Nan::New(static_cast<double>(counts.empty)));
    return batch;
}

// Hands what waits to the function; returns false, and calls nothing, when
// no frame waits and none was dropped (the empty polls then come with the
// next batch). Batches run in the callback scope of their async resource,
// as deliveries do.
bool deliver_batch(v8::Local<v8::Function> function) {
    Nan::HandleScope scope;
    capture_begin_pass();
    uint32_t n = capture_waiting();
    capture_counts counts = capture_take_counts();
    counts.empty += empty_carried;
    empty_carried = 0;
    if (n == 0 && counts.dropped == 0) {
        empty_carried = counts.empty;
        return false;
    }
    v8::Local<v8::Object> batch = take_batch(n, counts);
    v8::Local<v8::Object> receiver = Nan::GetCurrentContext()->Global();
    node::CallbackScope callback_scope(v8::Isolate::GetCurrent(), receiver, *capture_resource);
    v8::Local<v8::Value> argv[] = {batch};
    call_guarded(function, receiver, 1, argv, guarded_caller::capture);
    return true;
}

void on_batch_timer(uv_timer_t *);

// After a batch the next one is due in BATCH_INTERVAL_MS; until then the
// receive thread sends no wake-up. A pass that finds nothing ends the
// timing: the next frame wakes the main thread again.
void take_and_schedule() {
    Nan::HandleScope scope;
    if (capture_function.IsEmpty()) {
        capture_begin_pass();
        return;
    }
    if (!deliver_batch(Nan::New(capture_function)) || capture_function.IsEmpty()) return;
    capture_hold_wakeups();
    uv_timer_start(&batch_timer, on_batch_timer, BATCH_INTERVAL_MS, 0);
}

void on_batch_timer(uv_timer_t *) { take_and_schedule(); }

void on_capture_wakeup(uv_async_t *) {
    if (uv_is_active(reinterpret_cast<uv_handle_t *>(&batch_timer))) return;
    take_and_schedule();
}

// The handles never keep the process alive: a started driver does that,
// and without one no frame comes.
// Returns 0, or the libuv error that stopped it.
int init_handles() {
    if (handles_ready) return 0;
    uv_loop_t *loop = Nan::GetCurrentEventLoop();
    int rc = uv_timer_init(loop, &batch_timer);
    if (rc != 0) return rc;
    uv_unref(reinterpret_cast<uv_handle_t *>(&batch_timer));
    rc = init_capture_async(loop, on_capture_wakeup);
    if (rc != 0) return rc;
    capture_resource = new Nan::AsyncResource("qel:capture");
    handles_ready = true;
    return 0;
}

void stop_capture() {
    if (capture_function.IsEmpty()) return;
    capture_stop();
    uv_timer_stop(&batch_timer);
    Nan::HandleScope scope;
    v8::Local<v8::Function> last = Nan::New(capture_function);
    capture_function.Reset();
    deliver_batch(last);  // what the receive thread wrote before it stopped
    empty_carried = 0;
}

}  // namespace

// A failed start leaves a capture alone: the application may have begun
// it before driverStart.
void capture_end_for(stop_kind how) {
    if (how == stop_kind::stop) {
        Nan::HandleScope scope;
        stop_capture();
    } else if (how == stop_kind::environment_ends) {
        capture_stop();
        capture_function.Reset();
        if (handles_ready) uv_timer_stop(&batch_timer);
    }
}

int close_capture(uv_close_cb closed) {
    capture_function.Reset();
    capture_resource = nullptr;  // left to the ending runtime, as the console's
    if (!handles_ready) return 0;
    handles_ready = false;
    uv_close(reinterpret_cast<uv_handle_t *>(&batch_timer), closed);
    return 1 + close_capture_async(closed);
}

NAN_METHOD(Capture) {
    if (!own_env()) return;
    if (info.Length() > 1) return throw_type_error(MSG_AT_MOST_1, CODE_BAD_ARGUMENT);
    if (info.Length() < 1 || !(info[0]->IsFunction() || info[0]->IsNull())) {
        return throw_type_error(MSG_CAPTURE_ARG1, CODE_BAD_ARGUMENT);
    }
    if (info[0]->IsNull()) return stop_capture();
    int rc = init_handles();
    if (rc != 0) return throw_type_error_uv(MSG_UV_FAILED, rc);
    bool running = !capture_function.IsEmpty();
    capture_function.Reset(info[0].As<v8::Function>());
    if (running) return;
    empty_carried = 0;
    capture_start();
}
