// `bridge`: the JavaScript control surface of the simulated CAN bridge.
#include <cmath>
#include <cstring>
#include <string>

#include "../qel/diagnostics.h"
#include "../qel/driver_api.h"
#include "../qel/js_layer.h"
#include "../qel/lifecycle.h"
#include "sim_bridge.h"

namespace {

void fail(const char *method, const char *expected) {
    std::string message = std::string("bridge.") + method + ": expected " + expected;
    throw_type_error(message.c_str(), CODE_BAD_ARGUMENT);
}

// A JavaScript number that is an integer within [low, high].
bool integer_in(v8::Local<v8::Value> value, double low, double high, double *out) {
    if (!value->IsNumber()) return false;
    double number = Nan::To<double>(value).FromJust();
    if (!std::isfinite(number) || std::floor(number) != number) return false;
    if (number < low || number > high) return false;
    *out = number;
    return true;
}

constexpr double max_safe_integer = 9007199254740991.0;

bool no_arguments(Nan::NAN_METHOD_ARGS_TYPE info, const char *method) {
    if (info.Length() == 0) return true;
    fail(method, "no arguments");
    return false;
}

NAN_METHOD(Reset) {
    if (!no_arguments(info, "reset")) return;
    sim_bridge::reset();
}

NAN_METHOD(Receive) {
    if (info.Length() < 1 || info.Length() > 2 || !node::Buffer::HasInstance(info[0]) ||
        node::Buffer::Length(info[0]) != 16) {
        return fail("receive", "a Buffer of exactly 16 bytes and an optional repeat count");
    }
    double repeat = 1;
    if (info.Length() == 2 && !info[1]->IsUndefined() &&
        !integer_in(info[1], 0, max_safe_integer, &repeat)) {
        return fail("receive", "the repeat count to be an integer of 0 or more");
    }
    sim_bridge::receive(reinterpret_cast<const uint8_t *>(node::Buffer::Data(info[0])),
                        static_cast<uint64_t>(repeat));
}

NAN_METHOD(Pending) {
    if (!no_arguments(info, "pending")) return;
    info.GetReturnValue().Set(Nan::New(static_cast<double>(sim_bridge::pending())));
}

NAN_METHOD(Writes) {
    if (!no_arguments(info, "writes")) return;
    std::vector<sim_bridge::write_record> log = sim_bridge::writes();
    v8::Local<v8::Array> list = Nan::New<v8::Array>(static_cast<int>(log.size()));
    v8::Local<v8::String> bytes_key = Nan::New("bytes").ToLocalChecked();
    v8::Local<v8::String> code_key = Nan::New("code").ToLocalChecked();
    v8::Local<v8::String> time_key = Nan::New("time").ToLocalChecked();
    for (size_t i = 0; i < log.size(); i++) {
        const sim_bridge::write_record &record = log[i];
        v8::Local<v8::Object> entry = Nan::New<v8::Object>();
        Nan::Set(entry, bytes_key,
                 Nan::CopyBuffer(reinterpret_cast<const char *>(record.bytes.data()),
                                 static_cast<uint32_t>(record.bytes.size()))
                     .ToLocalChecked());
        Nan::Set(entry, code_key, Nan::New(record.code));
        Nan::Set(entry, time_key, Nan::New(record.time));
        Nan::Set(list, static_cast<uint32_t>(i), entry);
    }
    info.GetReturnValue().Set(list);
}

NAN_METHOD(Reads) {
    if (!no_arguments(info, "reads")) return;
    info.GetReturnValue().Set(Nan::New(static_cast<double>(sim_bridge::reads())));
}

NAN_METHOD(FailInit) {
    if (info.Length() != 1 || !info[0]->IsBoolean()) return fail("failInit", "a boolean");
    sim_bridge::fail_init(Nan::To<bool>(info[0]).FromJust());
}

NAN_METHOD(FailBegin) {
    if (info.Length() != 1 || !info[0]->IsBoolean()) return fail("failBegin", "a boolean");
    sim_bridge::fail_begin(Nan::To<bool>(info[0]).FromJust());
}

NAN_METHOD(BaudReadback) {
    const char *expected = "an array of byte values (integers 0-255)";
    if (info.Length() != 1 || !info[0]->IsArray()) return fail("baudReadback", expected);
    v8::Local<v8::Array> array = info[0].As<v8::Array>();
    std::vector<uint8_t> values;
    for (uint32_t i = 0; i < array->Length(); i++) {
        v8::Local<v8::Value> element;
        double value = 0;
        bool read = false;
        {
            Nan::TryCatch getter;  // a throwing getter is a bad value like any other
            read = Nan::Get(array, i).ToLocal(&element);
        }
        if (!read || !integer_in(element, 0, 255, &value)) return fail("baudReadback", expected);
        values.push_back(static_cast<uint8_t>(value));
    }
    sim_bridge::baud_readback(values);
}

// failReads(count, code) and failWrites(count, code) share their checks.
bool count_and_code(Nan::NAN_METHOD_ARGS_TYPE info, const char *method, uint64_t *count,
                    uint8_t *code) {
    double c = 0, k = 0;
    if (info.Length() != 2 || !integer_in(info[0], 0, max_safe_integer, &c) ||
        !integer_in(info[1], 1, 255, &k)) {
        fail(method, "a count (integer of 0 or more) and a non-zero result code (1-255)");
        return false;
    }
    *count = static_cast<uint64_t>(c);
    *code = static_cast<uint8_t>(k);
    return true;
}

NAN_METHOD(FailReads) {
    uint64_t count;
    uint8_t code;
    if (count_and_code(info, "failReads", &count, &code)) sim_bridge::fail_reads(count, code);
}

NAN_METHOD(FailWrites) {
    uint64_t count;
    uint8_t code;
    if (count_and_code(info, "failWrites", &count, &code)) sim_bridge::fail_writes(count, code);
}

NAN_METHOD(FailSelect) {
    double code = 0;
    if (info.Length() != 1 || !integer_in(info[0], 0, 255, &code)) {
        return fail("failSelect", "a result code (0-255, 0 ends the fault)");
    }
    sim_bridge::fail_select(static_cast<uint8_t>(code));
}

NAN_METHOD(PowerCycle) {
    if (!no_arguments(info, "powerCycle")) return;
    sim_bridge::power_cycle();
}

// Start-up reads the board's model name from this file, as the real
// flavour reads the device tree's; '' (the default) skips the board check.
NAN_METHOD(BoardModelFile) {
    static std::string path;
    if (info.Length() != 1 || !info[0]->IsString()) return fail("boardModelFile", "a path ('' for none)");
    path = *Nan::Utf8String(info[0]);
    set_board_model_path(path.c_str());
}

// Tests only, hidden as bridge[Symbol.for('corvalith.failStartStep')]: makes
// that step of every driverStart fail as a process out of resources would
// ('async', 'lock', 'threads'); '' heals.
NAN_METHOD(FailStartStep) {
    static const char *const names[] = {"", "async", "lock", "threads"};
    static const start_step steps[] = {start_step::none, start_step::async, start_step::lock, start_step::threads};
    if (info.Length() == 1 && info[0]->IsString()) {
        Nan::Utf8String given(info[0]);
        for (size_t i = 0; i < sizeof steps / sizeof steps[0]; i++) {
            if (strcmp(*given, names[i]) == 0) return lifecycle_fail_step(steps[i]);
        }
    }
    fail("failStartStep", "'async', 'lock', 'threads' or ''");
}

// Where the debug log goes from the next driverStart on; bridge.logPath
// says it.
NAN_METHOD(SetLogPath) {
    static std::string path;
    if (info.Length() != 1 || !info[0]->IsString()) return fail("setLogPath", "a file path");
    Nan::Utf8String given(info[0]);
    if (given.length() == 0) return fail("setLogPath", "a file path");
    path = *given;
    log_path_set(path.c_str());
    set_property(info.This(), "logPath", info[0]);
}

NAN_METHOD(BusSpeed) {
    double hz = 0;
    if (info.Length() != 1 || !info[0]->IsNumber()) return fail("busSpeed", "a clock in Hz (0 or more)");
    hz = Nan::To<double>(info[0]).FromJust();
    if (!std::isfinite(hz) || hz < 0) return fail("busSpeed", "a clock in Hz (0 or more)");
    sim_bridge::bus_speed(hz);
}

NAN_METHOD(State) {
    if (!no_arguments(info, "state")) return;
    sim_bridge::bridge_state s = sim_bridge::state();
    v8::Local<v8::Object> object = Nan::New<v8::Object>();
    Nan::Set(object, Nan::New("initialized").ToLocalChecked(), Nan::New(s.initialized));
    Nan::Set(object, Nan::New("i2cOpen").ToLocalChecked(), Nan::New(s.i2c_open));
    Nan::Set(object, Nan::New("slaveAddress").ToLocalChecked(), Nan::New(s.slave_address));
    Nan::Set(object, Nan::New("clockDivider").ToLocalChecked(), Nan::New(s.clock_divider));
    Nan::Set(object, Nan::New("overlaps").ToLocalChecked(),
             Nan::New(static_cast<double>(s.overlaps)));
    info.GetReturnValue().Set(object);
}

NAN_METHOD(Now) {
    if (!no_arguments(info, "now")) return;
    info.GetReturnValue().Set(Nan::New(sim_bridge::now()));
}

}  // namespace

void init_bridge(v8::Local<v8::Object> exports) {
    v8::Local<v8::Object> bridge = Nan::New<v8::Object>();
    Nan::SetMethod(bridge, "reset", Reset);
    Nan::SetMethod(bridge, "receive", Receive);
    Nan::SetMethod(bridge, "pending", Pending);
    Nan::SetMethod(bridge, "writes", Writes);
    Nan::SetMethod(bridge, "reads", Reads);
    Nan::SetMethod(bridge, "failInit", FailInit);
    Nan::SetMethod(bridge, "failBegin", FailBegin);
    Nan::SetMethod(bridge, "baudReadback", BaudReadback);
    Nan::SetMethod(bridge, "failReads", FailReads);
    Nan::SetMethod(bridge, "failWrites", FailWrites);
    Nan::SetMethod(bridge, "failSelect", FailSelect);
    Nan::SetMethod(bridge, "powerCycle", PowerCycle);
    Nan::SetMethod(bridge, "busSpeed", BusSpeed);
    Nan::SetMethod(bridge, "boardModelFile", BoardModelFile);
    Nan::SetMethod(bridge, "setLogPath", SetLogPath);
    Nan::SetMethod(bridge, "state", State);
    Nan::SetMethod(bridge, "now", Now);
    v8::Local<v8::Symbol> fail_start = v8::Symbol::For(v8::Isolate::GetCurrent(), Nan::New("corvalith.failStartStep").ToLocalChecked());
    bridge->DefineOwnProperty(Nan::GetCurrentContext(), fail_start,
                              Nan::GetFunction(Nan::New<v8::FunctionTemplate>(FailStartStep)).ToLocalChecked(), v8::DontEnum)
        .Check();
    Nan::Set(bridge, Nan::New("logPath").ToLocalChecked(), Nan::New(log_path_default()).ToLocalChecked());
    Nan::Set(exports, Nan::New("bridge").ToLocalChecked(), bridge);
}
