// Shared pieces of the JavaScript-facing layer: the calling conventions
// every driver function follows, and the functions of the message memory.
#pragma once

#include <nan.h>

#include "lifecycle.h"
#include "slot.h"

// Claims the driver's JavaScript side for this environment on its first
// call; false, with QEL_IN_OTHER_THREAD thrown, while another environment
// (another thread) owns it. Every driver function but getVersion asks
// first (env_js.cc).
bool own_env();

// Let go of what this environment holds, as it ends: each closes its
// handles with `closed` as their close callback and returns how many.
int close_delivery(uv_close_cb closed);
int close_capture(uv_close_cb closed);
int close_console(uv_close_cb closed);

// Ends a capture after handing its function what it holds (a stop), or
// without a last batch when JavaScript no longer runs: capture's step of
// the lifecycle's stop (lifecycle.h).
void capture_end_for(stop_kind how);

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

// The console lines of a JavaScript function, handed to standard output as
// it returns, whichever way: they come after the application's earlier
// lines and before its next ones. What the driver threads queued before
// the function began is handed on (or dropped, when standard output is
// behind) as it begins.
// What the function throws is held while the lines go out, which runs the
// stream's JavaScript, and thrown again after them.
class ConsoleScope {
public:
    ConsoleScope();
    ~ConsoleScope();
    ConsoleScope(const ConsoleScope &) = delete;
    ConsoleScope &operator=(const ConsoleScope &) = delete;

private:
    // Constructed and ended by hand, so that it is gone before the lines
    // go out: a caught exception keeps the runtime from running the
    // stream's code while its try block lives.
    alignas(Nan::TryCatch) unsigned char thrown_[sizeof(Nan::TryCatch)];
    Nan::TryCatch &thrown() { return *reinterpret_cast<Nan::TryCatch *>(thrown_); }
};

// Hands the driver threads' lines to standard output, or drops them
// (counted) when it is behind. At a wake-up, before application code runs.
void console_hand_on();

// Sets up the wake-up that hands on the threads' lines on this thread's
// event loop; close_console() lets it go with the environment.
void init_console();

// Builds the status object of a slot; empty only while the runtime is
// terminating.
v8::Local<v8::Object> JS_msg_mem(const status_snapshot &snapshot);
void async_callback(uv_async_t *handle);
// A stop happened: the next wake-up may be one signalled before it.
void forget_wakeups();
NAN_METHOD(LinkTarget);
// Where open()'s driver object learns which queued frames were written:
// called with (ticket, busCode, errno, count): `count` frames written
// from `ticket` on (busCode 0, errno null), or one that the bus refused,
// errno the libuv error where the system said why (else null); set
// through Symbol.for('corvalith.transmitted').
NAN_METHOD(TransmitTarget);
// Tells that function every frame written and not told yet, in order: at a
// wake-up (handing on the threads' lines before the promises' reactions),
// and as a stop ends (where the function's own console scope hands them on).
void transmitted_to_js(bool hand_on_lines);
// readStatus's status object from the slot's own copy, without the bus
// lock: Symbol.for('corvalith.readCopy').
NAN_METHOD(ReadCopy);

NAN_METHOD(ReadStatus);
NAN_METHOD(Simulate);
NAN_METHOD(ClearMem);

// capture(fn | null): starts, redirects or stops the capture of frames.
NAN_METHOD(Capture);

// Where the driver's console lines go: 'stdout', false or a function; with
// no argument the count of lines made. Reached through a symbol of the
// exports, Symbol.for('corvalith.console').
NAN_METHOD(ConsoleTarget);

// mirror(iface | null | nothing): the mirror to a SocketCAN interface and
// its counts.
NAN_METHOD(Mirror);

// Adds `facts`, the driver's tables for the JavaScript side (facts_js.cc).
void init_facts(v8::Local<v8::Object> exports);

#ifdef QEL_SIM
// Adds `bridge`, the control surface of the simulated CAN bridge.
void init_bridge(v8::Local<v8::Object> exports);
#endif
