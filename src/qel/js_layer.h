// Shared pieces of the JavaScript-facing layer: the calling conventions
// every driver function follows, and the functions of the message memory.
#pragma once

#include <nan.h>

#include "message_memory.h"

// The function registered by registerCallback; empty until then.
extern Nan::Persistent<v8::Function> node_callback;

// Throws a TypeError with `message` in the current isolate.
inline void throw_type_error(const char *message) { Nan::ThrowTypeError(message); }

// The runtime's 32-bit integer conversion: truncation toward zero, wrap
// modulo 2^32; a conversion that yields nothing gives 0.
inline int32_t to_int32(v8::Local<v8::Value> value) {
    Nan::TryCatch swallow;
    return Nan::To<int32_t>(value).FromMaybe(0);
}

// Builds the status object of a slot; empty only while the runtime is
// terminating.
v8::Local<v8::Object> JS_msg_mem(const status_snapshot &snapshot);
void async_callback(uv_async_t *handle);

NAN_METHOD(ReadStatus);
NAN_METHOD(Simulate);
NAN_METHOD(ClearMem);

// capture(fn | null): starts, redirects or stops the capture of frames.
NAN_METHOD(Capture);

#ifdef QEL_SIM
// Adds `bridge`, the control surface of the simulated CAN bridge.
void init_bridge(v8::Local<v8::Object> exports);
#endif
