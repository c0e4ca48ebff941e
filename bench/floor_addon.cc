// The floor of figure 2a: what Node itself charges the main thread for one
// delivery, measured beside the driver. A native thread wakes the event loop
// through uv_async_send at the bus's pace, busy between signals as the
// receive thread is during a read, and every wake-up calls a JavaScript
// function the way the driver calls the application's: in the callback scope
// of one async resource, with one status object of the same shape built the
// same way (or, in the bare variant, with no argument). Built by
// tools/qel-bench only; never part of the package.
#include <nan.h>
#include <time.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <thread>

#include "../src/qel/status_builder.h"

namespace {

struct floor_run {
    uv_async_t async;
    std::thread sender;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> sends{0};
    std::atomic<uint64_t> send_ns{0};
    Nan::Persistent<v8::Function> callback;
    Nan::Persistent<v8::Function> builder;
    Nan::AsyncResource *resource = nullptr;
    bool with_status = true;
    uint64_t wakeups = 0;
};

floor_run *run = nullptr;

int64_t now_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// As the simulated bridge's read: asleep for the bulk of a long transfer,
// on the CPU for the rest (all of a 400 kHz read), then one signal.
void wait_until(int64_t deadline) {
    int64_t left = deadline - now_ns();
    if (left > 2000000) {
        struct timespec ts = {0, 0};
        ts.tv_sec = (left - 1000000) / 1000000000;
        ts.tv_nsec = (left - 1000000) % 1000000000;
        nanosleep(&ts, nullptr);
    }
    while (now_ns() < deadline) {
    }
}

void send_at_pace(int64_t period_ns) {
    int64_t next = now_ns();
    while (!run->stop.load(std::memory_order_relaxed)) {
        next += period_ns;
        wait_until(next);
        int64_t t0 = now_ns();
        uv_async_send(&run->async);
        run->send_ns.fetch_add(static_cast<uint64_t>(now_ns() - t0), std::memory_order_relaxed);
        run->sends.fetch_add(1, std::memory_order_relaxed);
    }
}

// The driver's own builder of status objects (status_builder.h).
v8::Local<v8::Function> compile_builder() {
    v8::Local<v8::String> source = Nan::New(STATUS_BUILDER_SOURCE).ToLocalChecked();
    v8::Local<v8::Script> script = Nan::CompileScript(source).ToLocalChecked();
    v8::Local<v8::Function> factory = Nan::RunScript(script).ToLocalChecked().As<v8::Function>();
    v8::Local<v8::Value> buffer = Nan::Get(Nan::NewBuffer(0).ToLocalChecked(), Nan::New("constructor").ToLocalChecked()).ToLocalChecked();
    return factory->Call(Nan::GetCurrentContext(), Nan::Undefined(), 1, &buffer).ToLocalChecked().As<v8::Function>();
}

// A status object as the driver's: the time as a decimal string, three
// numbers, eight data bytes in a Buffer of their own, the statistics.
v8::Local<v8::Value> status_like(uint64_t serial) {
    char text[24];
    snprintf(text, sizeof text, "%" PRIu64, 1700000000000 + serial);
    v8::Local<v8::Value> argv[] = {
        Nan::New(text).ToLocalChecked(),
        Nan::New(static_cast<int32_t>(serial)),
        Nan::New(0x1a1),
        Nan::New(static_cast<int32_t>(serial)),
        Nan::New(0x5a),
        Nan::New(1),
        Nan::New(2),
        Nan::New(3),
        Nan::New(4),
    };
    return Nan::New(run->builder)->Call(Nan::GetCurrentContext(), Nan::Undefined(), 9, argv).ToLocalChecked();
}

void on_wakeup(uv_async_t *) {
    Nan::HandleScope scope;
    run->wakeups++;
    v8::Local<v8::Object> receiver = Nan::GetCurrentContext()->Global();
    node::CallbackScope callback_scope(v8::Isolate::GetCurrent(), receiver, *run->resource);
    Nan::TryCatch caught;
    v8::Local<v8::Value> argv[1];
    int argc = 0;
    if (run->with_status) argv[argc++] = status_like(run->wakeups);
    v8::Local<v8::Value> returned;
    if (!Nan::New(run->callback)->Call(Nan::GetCurrentContext(), receiver, argc, argv).ToLocal(&returned)) {
        fprintf(stderr, "qel_floor: the function threw\n");
    }
}

// start(periodNs, withStatus, fn): fn is called at every wake-up until stop().
NAN_METHOD(Start) {
    if (run != nullptr) return Nan::ThrowError("already started");
    run = new floor_run;
    int64_t period = static_cast<int64_t>(Nan::To<double>(info[0]).FromJust());
    run->with_status = Nan::To<bool>(info[1]).FromJust();
    run->callback.Reset(info[2].As<v8::Function>());
    run->builder.Reset(compile_builder());
    run->resource = new Nan::AsyncResource("qel:floor");
    uv_async_init(Nan::GetCurrentEventLoop(), &run->async, on_wakeup);
    run->sender = std::thread(send_at_pace, period);
}

void forget_run(uv_handle_t *handle) {
    floor_run *done = static_cast<floor_run *>(handle->data);
    done->callback.Reset();
    done->builder.Reset();
    delete done->resource;
    delete done;
}

// stop() -> { sends, sendNs }: the signals sent and the mean time one took
// on the sending thread; the loop may end after, or start() begin again.
NAN_METHOD(Stop) {
    if (run == nullptr) return;
    run->stop = true;
    run->sender.join();
    uint64_t sends = run->sends.load();
    v8::Local<v8::Object> result = Nan::New<v8::Object>();
    Nan::Set(result, Nan::New("sends").ToLocalChecked(), Nan::New(static_cast<double>(sends)));
    Nan::Set(result, Nan::New("sendNs").ToLocalChecked(),
             Nan::New(sends > 0 ? static_cast<double>(run->send_ns.load()) / static_cast<double>(sends) : 0.0));
    run->async.data = run;
    uv_close(reinterpret_cast<uv_handle_t *>(&run->async), forget_run);
    run = nullptr;
    info.GetReturnValue().Set(result);
}

// threadCpuNs(): the calling thread's CPU time in ns, to the nanosecond
// even while it runs: /proc's account of a thread moves only when the
// thread leaves the CPU or the scheduler's tick comes.
NAN_METHOD(ThreadCpuNs) {
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    info.GetReturnValue().Set(Nan::New(static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec)));
}

NAN_MODULE_INIT(Init) {
    Nan::SetMethod(target, "start", Start);
    Nan::SetMethod(target, "stop", Stop);
    Nan::SetMethod(target, "threadCpuNs", ThreadCpuNs);
}

}  // namespace

NODE_MODULE(qel_floor, Init)
