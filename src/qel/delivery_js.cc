// Delivery: status objects, their delivery to the registered function, and
// the JavaScript functions that read, inject and clear slots.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "bridge_link.h"
#include "diagnostics.h"
#include "driver_api.h"
#include "js_layer.h"
#include "message_memory.h"
#include "status_builder.h"
#include "transmit.h"

// Status objects are built by a small JavaScript function compiled once:
// an object literal gets its keys in order and its shape from the engine's
// cache, several times cheaper than setting the properties one by one. The
// data bytes come as two 32-bit words into a Buffer of their own 8 bytes
// made by Buffer.alloc, which the engine keeps on its heap: a Buffer made in
// C++ gets a separately allocated store that the collector must track and
// free, and cost the main thread more than the rest of a delivery's object.
static Nan::Persistent<v8::Function> status_builder;

// The Buffer constructor of this context, as the runtime gives it to a
// Buffer it makes: the application may have replaced the global one.
static v8::Local<v8::Value> buffer_constructor() {
    v8::Local<v8::Object> sample = Nan::NewBuffer(0).ToLocalChecked();
    return Nan::Get(sample, Nan::New("constructor").ToLocalChecked()).FromMaybe(v8::Local<v8::Value>());
}

static v8::Local<v8::Function> compile_builder() {
    v8::Local<v8::Script> script;
    v8::Local<v8::Value> factory;
    v8::Local<v8::Value> function;
    v8::Local<v8::Value> constructor = buffer_constructor();
    if (constructor.IsEmpty() || !Nan::CompileScript(Nan::New(STATUS_BUILDER_SOURCE).ToLocalChecked()).ToLocal(&script) ||
        !Nan::RunScript(script).ToLocal(&factory) ||
        !factory.As<v8::Function>()->Call(Nan::GetCurrentContext(), Nan::Undefined(), 1, &constructor).ToLocal(&function)) {
        return v8::Local<v8::Function>();
    }
    return function.As<v8::Function>();
}

// Empty only while the runtime is terminating.
static v8::Local<v8::Function> builder() {
    if (status_builder.IsEmpty()) {
        v8::Local<v8::Function> function = compile_builder();
        if (function.IsEmpty()) return function;
        status_builder.Reset(function);
    }
    return Nan::New(status_builder);
}

// Four data bytes from `at` as one word, the first byte lowest; a Smi.
static int32_t data_word(const uint8_t *at) {
    uint32_t word = static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
                    static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
    return static_cast<int32_t>(word);
}

v8::Local<v8::Object> JS_msg_mem(const status_snapshot &snapshot) {
    const msg_mem_struct &slot = snapshot.slot;
    char text[24];
    snprintf(text, sizeof text, "%" PRIu64, slot.timestamp);
    v8::Local<v8::Value> argv[] = {
        Nan::New(text).ToLocalChecked(),
        Nan::New(slot.counter),
        Nan::New(slot.msg_id),
        Nan::New(data_word(slot.msg_data)),
        Nan::New(data_word(slot.msg_data + 4)),
        Nan::New(snapshot.stats[0]),
        Nan::New(snapshot.stats[1]),
        Nan::New(snapshot.stats[2]),
        Nan::New(snapshot.stats[3]),
    };
    v8::Local<v8::Function> build = builder();
    v8::Local<v8::Value> status;
    if (build.IsEmpty() || !build->Call(Nan::GetCurrentContext(), Nan::Undefined(), 9, argv).ToLocal(&status)) {
        return v8::Local<v8::Object>();  // the runtime is terminating
    }
    return status.As<v8::Object>();
}

// ------------------------------------------------------------- delivery

// Deliveries run in the callback scope of one async resource, as any
// callback from the runtime does: async_hooks see the resource, and the
// process.nextTick callbacks and promise reactions that the registered
// function queues run when the scope closes, right after it.
static Nan::AsyncResource *delivery_resource = nullptr;

// Builds the status object and calls the registered function with it;
// returns false when the runtime is terminating and nothing more may run.
static bool call_with_status(const status_snapshot &snapshot, v8::Local<v8::Object> receiver) {
    v8::Local<v8::Object> status;
    {
        Nan::TryCatch terminating;
        status = JS_msg_mem(snapshot);
    }
    if (status.IsEmpty()) return false;
    v8::Local<v8::Value> argv[] = {status};
    return call_guarded(Nan::New(node_callback), receiver, 1, argv, guarded_caller::delivery);
}

static bool deliver(const status_snapshot &snapshot) {
    Nan::HandleScope scope;
    if (node_callback.IsEmpty()) return true;
    v8::Local<v8::Object> receiver = Nan::GetCurrentContext()->Global();
    node::CallbackScope callback_scope(v8::Isolate::GetCurrent(), receiver, *delivery_resource);
    return call_with_status(snapshot, receiver);
}

// One wake-up delivers the slots pending when it begins, each taken right
// before its own call (and the threads' lines handed on between the two): a status object shows its slot as it is when the
// function gets it, with what earlier calls of the same wake-up cleared or
// the receive thread recorded meanwhile. A slot queued during the wake-up
// has signalled anew and comes with the next one, so a flood of changes
// cannot keep the event loop here.
// A stop drops the pending changes but cannot take back a signal already
// sent: the wake-up it causes finds nothing, and is no spurious one.
static bool stopped_since_wakeup = false;

void forget_wakeups() { stopped_since_wakeup = true; }

// open()'s driver object learns here that the bridge stopped answering or
// answers again: called with (answering, failedTransfers).
static Nan::Persistent<v8::Function> link_function;

NAN_METHOD(LinkTarget) {
    if (!own_env()) return;
    link_function.Reset();
    if (info.Length() > 0 && info[0]->IsFunction()) link_function.Reset(info[0].As<v8::Function>());
}

static Nan::Persistent<v8::Function> transmitted_function;

NAN_METHOD(TransmitTarget) {
    if (!own_env()) return;
    transmitted_function.Reset();
    if (info.Length() > 0 && info[0]->IsFunction()) transmitted_function.Reset(info[0].As<v8::Function>());
}

namespace {

// One call of the function for a run of frames: `count` frames written
// from `first` on, or one that the bus refused.
struct transmit_run {
    uint32_t first;
    uint32_t count;
    uint8_t code;
    int uv_error;
};

// The results taken so far as runs, in ticket order: written frames with
// consecutive tickets share a run (never across the tickets' wrap, so the
// function can count up from the first); each refused frame has its own,
// with its own error. Returns the number of runs.
int take_runs(transmit_run (&runs)[TRANSMIT_QUEUE_SLOTS]) {
    int n = 0;
    transmit_result done;
    while (n < static_cast<int>(TRANSMIT_QUEUE_SLOTS) && take_transmitted(&done)) {
        transmit_run *last = n > 0 ? &runs[n - 1] : nullptr;
        if (last != nullptr && done.code == 0 && last->code == 0 && done.ticket != 0 && done.ticket == last->first + last->count) {
            last->count++;
            continue;
        }
        runs[n++] = {done.ticket, 1, done.code, done.uv_error};
    }
    return n;
}

}  // namespace

// A wake-up settles every frame written before it began in one callback
// scope: one call per run, and the promises' reactions after all of them
// (a frame written meanwhile has woken the thread anew). Every result
// taken is told before any application code can run: the driver object's
// ring of promises counts on it. The frames' lines, which the transmit
// thread queued before their results, go out before the reactions.
void transmitted_to_js(bool hand_on_lines) {
    if (delivery_resource == nullptr) delivery_resource = new Nan::AsyncResource("qel:delivery");
    transmit_run runs[TRANSMIT_QUEUE_SLOTS];
    int n = take_runs(runs);
    if (n == 0) return;
    Nan::HandleScope scope;
    v8::Local<v8::Object> receiver = Nan::GetCurrentContext()->Global();
    node::CallbackScope callback_scope(v8::Isolate::GetCurrent(), receiver, *delivery_resource);
    for (int i = 0; i < n && !transmitted_function.IsEmpty(); i++) {
        const transmit_run &run = runs[i];
        v8::Local<v8::Value> argv[] = {
            Nan::New(static_cast<double>(run.first)), Nan::New(run.code),
            run.uv_error != 0 ? v8::Local<v8::Value>(Nan::New(run.uv_error)) : v8::Local<v8::Value>(Nan::Null()),
            Nan::New(run.count)};
        if (!call_guarded(Nan::New(transmitted_function), receiver, 4, argv, guarded_caller::delivery)) return;
    }
    if (hand_on_lines) console_hand_on();
}

// The news comes before the changes of the same wake-up: the frames that
// ended a run were read after it ended. The line that tells of a change of
// the link is queued before its news, and handed on before it.
static bool deliver_link_news() {
    link_news news;
    while (take_link_news(&news)) {
        if (link_function.IsEmpty()) continue;
        console_hand_on();
        Nan::HandleScope scope;
        v8::Local<v8::Object> receiver = Nan::GetCurrentContext()->Global();
        node::CallbackScope callback_scope(v8::Isolate::GetCurrent(), receiver, *delivery_resource);
        v8::Local<v8::Value> argv[] = {Nan::New(news.answering), Nan::New(static_cast<double>(news.failed))};
        if (!call_guarded(Nan::New(link_function), receiver, 2, argv, guarded_caller::delivery)) return false;
    }
    return true;
}

void async_callback(uv_async_t *) {
    Nan::HandleScope scope;
    if (delivery_resource == nullptr) delivery_resource = new Nan::AsyncResource("qel:delivery");
    bool requested = begin_wakeup();
    bool stale = stopped_since_wakeup;
    stopped_since_wakeup = false;
    if (!deliver_link_news()) return;
    transmitted_to_js(true);
    int delivered = 0;
    status_snapshot snapshot;
    for (int due = pending_changes(); delivered < due && take_change(&snapshot); delivered++) {
        // What the receive thread printed about the frames up to this copy
        // (the debug dumps) is queued before the copy could be taken, and
        // comes before whatever the function prints, or not at all: frames
        // recorded while an earlier call ran included. The event loop
        // never waits for a slow reader of the threads' lines.
        console_hand_on();
        if (!deliver(snapshot)) return;
    }
    if (!requested && delivered == 0 && !stale) {
        ConsoleScope console;
        console_line(MSG_NO_STATUS_CHANGE, -1);
    }
}

int close_delivery(uv_close_cb closed) {
    node_callback.Reset();
    link_function.Reset();
    transmitted_function.Reset();
    status_builder.Reset();
    delivery_resource = nullptr;  // left to the ending runtime, as the console's
    return close_async(closed);
}

// ------------------------------------------------ readStatus, simulate, clearMem

NAN_METHOD(ReadStatus) {
    if (!own_env()) return;
    ConsoleScope console;
    if (!driver_started) return throw_type_error(MSG_NOT_STARTED_READ, CODE_NOT_STARTED);
    if (info.Length() > 1) return throw_type_error(MSG_AT_MOST_1, CODE_BAD_ARGUMENT);
    if (info.Length() < 1 || !info[0]->IsNumber()) return throw_type_error(MSG_INT_ARG1, CODE_BAD_ARGUMENT);
    int pos = mem_position(static_cast<uint32_t>(to_int32(info[0])));
    status_snapshot snapshot;
    bus_lock();
    snapshot_slot(pos, &snapshot);
    bus_unlock();
    v8::Local<v8::Object> status = JS_msg_mem(snapshot);
    if (!status.IsEmpty()) info.GetReturnValue().Set(status);
}

NAN_METHOD(ReadCopy) {
    if (!own_env()) return;
    if (!driver_started) return throw_type_error(MSG_NOT_STARTED_READ, CODE_NOT_STARTED);
    if (info.Length() != 1 || !info[0]->IsNumber()) return throw_type_error(MSG_INT_ARG1, CODE_BAD_ARGUMENT);
    status_snapshot snapshot;
    read_slot_copy(mem_position(static_cast<uint32_t>(to_int32(info[0]))), &snapshot);
    v8::Local<v8::Object> status = JS_msg_mem(snapshot);
    if (!status.IsEmpty()) info.GetReturnValue().Set(status);
}

NAN_METHOD(Simulate) {
    if (!own_env()) return;
    ConsoleScope console;
    if (!driver_started) return throw_type_error(MSG_NOT_STARTED_SIMULATE, CODE_NOT_STARTED);
    if (info.Length() > 1) return throw_type_error(MSG_AT_MOST_1, CODE_BAD_ARGUMENT);
    if (info.Length() < 1 || !node::Buffer::HasInstance(info[0])) {
        return throw_type_error(MSG_BUFFER_ARG1, CODE_BAD_ARGUMENT);
    }
    if (node::Buffer::Length(info[0]) != static_cast<size_t>(frame_len - 1)) {
        return throw_type_error(MSG_BUFFER_15, CODE_BAD_ARGUMENT);
    }
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(node::Buffer::Data(info[0]));
    bus_lock();
    memcpy(sim_buf, bytes, static_cast<size_t>(frame_len - 1));
    sim_buf[15] = checksum(sim_buf, frame_len - 1);
    simulate = 1;
    bus_unlock();
}

NAN_METHOD(ClearMem) {
    if (!own_env()) return;
    ConsoleScope console;
    if (!driver_started) return throw_type_error(MSG_NOT_STARTED_SIMULATE, CODE_NOT_STARTED);
    if (info.Length() != 2) return throw_type_error(MSG_EXPECTED_2_ARGS, CODE_BAD_ARGUMENT);
    if (!info[0]->IsBoolean()) return throw_type_error(MSG_BOOL_ARG1, CODE_BAD_ARGUMENT);
    if (!info[1]->IsUndefined() && !info[1]->IsNumber()) return throw_type_error(MSG_NUMBER_ARG2, CODE_BAD_ARGUMENT);
    bool keep_counters = Nan::To<bool>(info[0]).FromJust();
    int32_t msg_id = info[1]->IsUndefined() ? -1 : to_int32(info[1]);
    bus_lock();
    clear_mem(keep_counters, msg_id);
    bus_unlock();
}
