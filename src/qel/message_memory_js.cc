// Status objects, their delivery to the registered function, and the
// JavaScript functions that read, inject and clear slots.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "bridge_link.h"
#include "diagnostics.h"
#include "driver_api.h"
#include "js_layer.h"

static void set_int(v8::Local<v8::Object> object, const char *key, int32_t value) {
    Nan::Set(object, Nan::New(key).ToLocalChecked(), Nan::New(value));
}

v8::Local<v8::Object> JS_msg_mem(const status_snapshot &snapshot) {
    const msg_mem_struct &slot = snapshot.slot;
    char text[24];
    snprintf(text, sizeof text, "%" PRIu64, slot.timestamp);

    v8::Local<v8::Object> status = Nan::New<v8::Object>();
    Nan::Set(status, Nan::New("timestamp").ToLocalChecked(), Nan::New(text).ToLocalChecked());
    set_int(status, "counter", slot.counter);
    set_int(status, "msg_id", slot.msg_id);
    Nan::Set(status, Nan::New("msg_data").ToLocalChecked(),
             Nan::CopyBuffer(reinterpret_cast<const char *>(slot.msg_data), sizeof slot.msg_data)
                 .ToLocalChecked());

    v8::Local<v8::Object> stats = Nan::New<v8::Object>();
    set_int(stats, "hb", snapshot.stats[0]);
    set_int(stats, "unk", snapshot.stats[1]);
    set_int(stats, "empty", snapshot.stats[2]);
    set_int(stats, "err", snapshot.stats[3]);
    Nan::Set(status, Nan::New("driver_stats").ToLocalChecked(), stats);
    return status;
}

// ------------------------------------------------------------- delivery

// Deliveries run through an async resource so that promise reactions and
// process.nextTick callbacks queued by the registered function run right
// after it, as for any other callback from the runtime.
static Nan::AsyncResource *delivery_resource = nullptr;

static void print_exception(const Nan::TryCatch &caught) {
    console_line(MSG_CALLBACK_EXCEPTION);
    v8::Local<v8::Value> exception = caught.Exception();
    if (exception.IsEmpty()) return;
    Nan::TryCatch conversion;  // a toString() that throws leaves the text empty
    Nan::Utf8String text(exception);
    console_line(MSG_CALLBACK_EXCEPTION_DETAILS, *text != nullptr ? *text : "");
}

// Calls the registered function with one status object; returns false when
// the runtime is terminating and nothing more may run.
static bool deliver(const status_snapshot &snapshot) {
    Nan::HandleScope scope;
    if (node_callback.IsEmpty()) return true;
    Nan::TryCatch caught;
    v8::Local<v8::Value> argv[] = {JS_msg_mem(snapshot)};
    v8::Local<v8::Function> callback = Nan::New(node_callback);
    delivery_resource->runInAsyncScope(Nan::GetCurrentContext()->Global(), callback, 1, argv);
    if (v8::Isolate::GetCurrent()->IsExecutionTerminating()) return false;
    if (caught.HasCaught()) print_exception(caught);
    return true;
}

// A wake-up delivers at most one round of slots, so that a flood of changes
// cannot keep the event loop from its timers and I/O; what remains is
// delivered on the next turn of the loop.
void async_callback(uv_async_t *) {
    Nan::HandleScope scope;
    if (delivery_resource == nullptr) delivery_resource = new Nan::AsyncResource("qel:delivery");

    bus_lock();
    bool requested = begin_wakeup();
    bus_unlock();

    int delivered = 0;
    status_snapshot snapshot;
    while (delivered < MEM_SLOTS) {
        bus_lock();
        bool taken = take_change(&snapshot);
        bus_unlock();
        if (!taken) break;
        delivered++;
        if (!deliver(snapshot)) return;
    }
    if (delivered == MEM_SLOTS) {
        bus_lock();
        bool more = rearm_wakeup();
        bus_unlock();
        if (more) uv_async_send(&async);
    }
    if (!requested && delivered == 0) console_line(MSG_NO_STATUS_CHANGE, -1);
}

// ------------------------------------------------ readStatus, simulate, clearMem

NAN_METHOD(ReadStatus) {
    if (!driver_started) return throw_type_error(MSG_NOT_STARTED_READ);
    if (info.Length() > 1) return throw_type_error(MSG_AT_MOST_1);
    if (info.Length() < 1 || !info[0]->IsNumber()) return throw_type_error(MSG_INT_ARG1);
    int pos = mem_position(static_cast<uint32_t>(to_int32(info[0])));
    status_snapshot snapshot;
    bus_lock();
    snapshot_slot(pos, &snapshot);
    bus_unlock();
    info.GetReturnValue().Set(JS_msg_mem(snapshot));
}

NAN_METHOD(Simulate) {
    if (!driver_started) return throw_type_error(MSG_NOT_STARTED_SIMULATE);
    if (info.Length() > 1) return throw_type_error(MSG_AT_MOST_1);
    if (info.Length() < 1 || !node::Buffer::HasInstance(info[0])) {
        return throw_type_error(MSG_BUFFER_ARG1);
    }
    if (node::Buffer::Length(info[0]) != static_cast<size_t>(frame_len - 1)) {
        return throw_type_error(MSG_BUFFER_15);
    }
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(node::Buffer::Data(info[0]));
    bus_lock();
    memcpy(sim_buf, bytes, static_cast<size_t>(frame_len - 1));
    sim_buf[15] = checksum(sim_buf, frame_len - 1);
    simulate = 1;
    bus_unlock();
}

NAN_METHOD(ClearMem) {
    if (!driver_started) return throw_type_error(MSG_NOT_STARTED_SIMULATE);
    if (info.Length() != 2) return throw_type_error(MSG_EXPECTED_2_ARGS);
    if (!info[0]->IsBoolean()) return throw_type_error(MSG_BOOL_ARG1);
    if (!info[1]->IsUndefined() && !info[1]->IsNumber()) return throw_type_error(MSG_NUMBER_ARG2);
    bool keep_counters = Nan::To<bool>(info[0]).FromJust();
    int32_t msg_id = info[1]->IsUndefined() ? -1 : to_int32(info[1]);
    bus_lock();
    clear_mem(keep_counters, msg_id);
    bus_unlock();
}
