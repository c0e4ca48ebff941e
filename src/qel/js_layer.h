// Shared pieces of the JavaScript-facing layer: the calling conventions
// every driver function follows, and the functions of the message memory.
#pragma once

#include <nan.h>

#include "slot.h"

// The function registered by registerCallback; empty until then.
extern Nan::Persistent<v8::Function> node_callback;

// Sets `key` of `object` to `value`.
inline void set_property(v8::Local<v8::Object> object, const char *key, v8::Local<v8::Value> value) {
    Nan::Set(object, Nan::New(key).ToLocalChecked(), value);
}

// Gives a thrown error the property `code` (one of messages.h's CODE_*, or
// an errno name), which a program can branch on; the message stays for
// people.
inline void set_error_code(v8::Local<v8::Value> error, const char *code) {
    set_property(error.As<v8::Object>(), "code", Nan::New(code).ToLocalChecked());
}

// Throws a TypeError with `message` and `code` in the current isolate.
inline void throw_type_error(const char *message, const char *code) {
    v8::Local<v8::Value> error = Nan::TypeError(message);
    set_error_code(error, code);
    Nan::ThrowError(error);
}

// The same for a failed system call, with the name of its error (a libuv
// error: a negative errno) as the code, as Node's fs errors carry it.
inline void throw_type_error_uv(const char *message, int uv_error) {
    char name[32];
    uv_err_name_r(uv_error, name, sizeof name);
    throw_type_error(message, name);
}

// The runtime's 32-bit integer conversion: truncation toward zero, wrap
// modulo 2^32; a conversion that yields nothing gives 0.
inline int32_t to_int32(v8::Local<v8::Value> value) {
    Nan::TryCatch swallow;
    return Nan::To<int32_t>(value).FromMaybe(0);
}

// Who calls application code, for the lines printed when it throws.
enum class guarded_caller : uint8_t { delivery, capture };

// Calls `function` and prints what it throws (guarded_call.cc); returns
// false when the runtime is terminating and nothing more may run.
bool call_guarded(v8::Local<v8::Function> function, v8::Local<v8::Object> receiver, int argc,
                  v8::Local<v8::Value> *argv, guarded_caller caller);

// Builds the status object of a slot; empty only while the runtime is
// terminating.
v8::Local<v8::Object> JS_msg_mem(const status_snapshot &snapshot);
void async_callback(uv_async_t *handle);

NAN_METHOD(ReadStatus);
NAN_METHOD(Simulate);
NAN_METHOD(ClearMem);

// capture(fn | null): starts, redirects or stops the capture of frames.
NAN_METHOD(Capture);

// mirror(iface | null | nothing): the mirror to a SocketCAN interface and
// its counts; mirror_from_environment() starts it from QEL_MIRROR.
NAN_METHOD(Mirror);
void mirror_from_environment();

#ifdef QEL_SIM
// Adds `bridge`, the control surface of the simulated CAN bridge.
void init_bridge(v8::Local<v8::Object> exports);
#endif
