// The module entry and the JavaScript functions of the driver API.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "argument_rules.h"
#include "bridge_link.h"
#include "diagnostics.h"
#include "driver_api.h"
#include "lifecycle.h"
#include "transmit.h"
#include "js_layer.h"

Nan::Persistent<v8::Function> node_callback;

NAN_METHOD(RegisterCallback) {
    if (!own_env()) return;
    if (info.Length() < 1 || !info[0]->IsFunction()) {
        throw_type_error(MSG_EXPECTED_FUNCTION, CODE_BAD_ARGUMENT);
        return;
    }
    node_callback.Reset(info[0].As<v8::Function>());
}

NAN_METHOD(GetVersion) { info.GetReturnValue().Set(Nan::New(QEL_VERSION).ToLocalChecked()); }

// ------------------------------------------------------------ driverStart

namespace {

// Whether `value` is of the kind an argument's rule asks for.
bool of_kind(v8::Local<v8::Value> value, arg_kind kind) {
    switch (kind) {
        case arg_kind::integer:
            return value->IsNumber();
        case arg_kind::identifiers:
            return value->IsArray();
        case arg_kind::boolean:
            return value->IsBoolean();
        case arg_kind::bytes:
            return node::Buffer::HasInstance(value);
    }
    return false;
}

// The message of the first of the given arguments that is not of its
// rule's kind (undefined too, unless `undefined_keeps`), or nullptr.
const char *type_refusal(const Nan::FunctionCallbackInfo<v8::Value> &info, const arg_rule *rules, int given,
                         bool undefined_keeps) {
    for (int i = 0; i < given; i++) {
        if (undefined_keeps && info[i]->IsUndefined()) continue;
        if (!of_kind(info[i], rules[i].kind)) return rules[i].type_message;
    }
    return nullptr;
}

// The indices below `length` that the array or its prototypes hold,
// ascending. They come from the property keys, so that an array of length
// 2^32 - 1 with two elements costs two elements, not four billion indices.
// When the chain cannot be listed (a proxy whose trap throws), the array's
// own elements are all there is.
std::vector<uint32_t> element_indices(v8::Local<v8::Array> array, uint32_t length) {
    v8::Local<v8::Context> context = Nan::GetCurrentContext();
    const auto all_keys = static_cast<v8::PropertyFilter>(v8::ALL_PROPERTIES | v8::SKIP_SYMBOLS);
    v8::Local<v8::Array> keys;
    Nan::TryCatch swallow;
    if (!array->GetPropertyNames(context, v8::KeyCollectionMode::kIncludePrototypes, all_keys,
                                 v8::IndexFilter::kIncludeIndices, v8::KeyConversionMode::kKeepNumbers)
             .ToLocal(&keys)) {
        swallow.Reset();
        if (!array->GetOwnPropertyNames(context, all_keys, v8::KeyConversionMode::kKeepNumbers).ToLocal(&keys)) {
            return {};
        }
    }
    std::vector<uint32_t> indices;
    for (uint32_t k = 0; k < keys->Length(); k++) {
        v8::Local<v8::Value> key;
        if (!keys->Get(context, k).ToLocal(&key) || !key->IsUint32()) continue;
        uint32_t index = key.As<v8::Uint32>()->Value();
        if (index < length) indices.push_back(index);
    }
    std::sort(indices.begin(), indices.end());
    indices.erase(std::unique(indices.begin(), indices.end()), indices.end());
    return indices;
}

// Reads the identifiers of an array; holes are skipped, and an element whose
// reading or conversion throws counts as a conversion that yields nothing.
// Each index is still asked for by Has(): a getter may delete later ones.
std::vector<uint32_t> read_identifiers(v8::Local<v8::Array> array) {
    std::vector<uint32_t> ids;
    for (uint32_t i : element_indices(array, array->Length())) {
        Nan::TryCatch swallow;
        if (!Nan::Has(array, i).FromMaybe(false)) continue;
        v8::Local<v8::Value> element;
        int32_t id = 0;
        if (Nan::Get(array, i).ToLocal(&element)) id = Nan::To<int32_t>(element).FromMaybe(0);
        ids.push_back(static_cast<uint32_t>(id));
    }
    return ids;
}

// An identifier array read before any setting changes: reading it can run
// the application's getters, which may even start the driver themselves.
struct identifier_list {
    bool given = false;
    std::vector<uint32_t> ids;
};

identifier_list read_identifier_arg(v8::Local<v8::Value> value) {
    identifier_list list;
    if (value->IsUndefined()) return list;
    list.given = true;
    list.ids = read_identifiers(value.As<v8::Array>());
    return list;
}

void apply_identifiers(int32_t *table, const identifier_list &list) {
    if (list.given) set_flags_from_ids(table, list.ids.data(), list.ids.size());
}

void apply_delay(int32_t &setting, v8::Local<v8::Value> value) {
    if (!value->IsUndefined()) setting = to_int32(value);
}

// Why the start failed, on the error as on the console: `reason`, the
// console line that says it, and `cause`, an Error of that text; where a
// system call failed, its errno name is the code and `errno` and `syscall`
// are set as on Node's own errors.
void throw_start_failed(const start_failure &why) {
    char reason[512];
    console_own_last_line(reason, sizeof reason);
    v8::Local<v8::Value> error = Nan::TypeError(why.message);
    v8::Local<v8::Object> object = error.As<v8::Object>();
    char name[32] = CODE_START_FAILED;
    if (why.uv_error != 0) uv_err_name_r(why.uv_error, name, sizeof name);
    set_error_code(error, name);
    set_property(object, "reason", Nan::New(reason).ToLocalChecked());
    set_property(object, "cause", Nan::Error(reason));
    if (why.uv_error != 0) set_property(object, "errno", Nan::New(why.uv_error));
    if (why.uv_error != 0 && why.syscall != nullptr) set_property(object, "syscall", Nan::New(why.syscall).ToLocalChecked());
    Nan::ThrowError(error);
}

// What only this layer can do at a stop: capture's last batch, and telling
// the delivery that a wake-up already signalled finds nothing to deliver.
void stop_in_javascript(stop_kind how) {
    capture_end_for(how);
    forget_wakeups();
}

}  // namespace

NAN_METHOD(DriverStart) {
    if (!own_env()) return;
    ConsoleScope console;
    if (node_callback.IsEmpty()) return throw_type_error(MSG_NO_CALLBACK, CODE_NO_CALLBACK);
    if (driver_started) return throw_type_error(MSG_ALREADY_STARTED, CODE_ALREADY_STARTED);
    if (info.Length() != START_ARGS) return throw_type_error(MSG_EXPECTED_7_ARGS, CODE_BAD_ARGUMENT);
    if (const char *refused = type_refusal(info, start_rules, START_ARGS, true)) {
        return throw_type_error(refused, CODE_BAD_ARGUMENT);
    }

    identifier_list enabled = read_identifier_arg(info[4]);
    identifier_list cyclic = read_identifier_arg(info[5]);
    if (driver_started) return throw_type_error(MSG_ALREADY_STARTED, CODE_ALREADY_STARTED);

    apply_delay(i2c_delay, info[0]);
    apply_delay(can_bus_delay, info[1]);
    apply_delay(hb_delay, info[2]);
    apply_delay(deb_delay, info[3]);
    apply_identifiers(is_enabled, enabled);
    apply_identifiers(is_cyclic, cyclic);
    debug_log = info[6]->IsUndefined() ? false : Nan::To<bool>(info[6]).FromJust();

    start_failure why;
    if (lifecycle_start(Nan::GetCurrentEventLoop(), async_callback, &why) == 0) return;
    if (why.step == start_step::bridge) return throw_start_failed(why);
    throw_type_error_uv(why.message, why.uv_error);
}

// Stops the driver: capture gets what it holds, then the start is undone.
// Changes not yet delivered are dropped. From inside the registered
// function too: the wake-up then finds nothing more to deliver. From
// capture's function during a stop, it returns at once.
NAN_METHOD(DriverStop) {
    if (!own_env()) return;
    ConsoleScope console;
    if (!driver_ever_started()) return throw_type_error(MSG_NOT_STARTED_STOP, CODE_NOT_STARTED);
    if (lifecycle_state() != driver_state::running) return;
    lifecycle_stop(stop_kind::stop);
    // The transmit thread is joined: what it wrote is told, what it did
    // not write is forgotten (the driver object rejects those).
    transmitted_to_js(false);
    transmit_forget();
}

// ------------------------------------------------ commands and parameters

namespace {

// sendCommand's checks, in their order, and its fields set; false when a
// check threw.
bool take_command_args(const Nan::FunctionCallbackInfo<v8::Value> &info) {
    int32_t *const fields[COMMAND_ARGS] = {&cmd_tft, &cmd_read_cfg, &cmd_cop_light, &cmd_cop_light_color,
                                           &cmd_parm_num};
    reset_command_fields();
    if (!driver_started) return throw_type_error(MSG_NOT_STARTED_COMMAND, CODE_NOT_STARTED), false;
    int given = info.Length();
    if (given > COMMAND_ARGS) return throw_type_error(MSG_AT_MOST_5, CODE_BAD_ARGUMENT), false;
    // The first argument is required: a missing one reads as undefined.
    if (const char *refused = type_refusal(info, command_rules, std::max(given, 1), false)) {
        return throw_type_error(refused, CODE_BAD_ARGUMENT), false;
    }
    for (int i = 0; i < given; i++) *fields[i] = to_int32(info[i]);
    const int32_t values[COMMAND_ARGS] = {cmd_tft, cmd_read_cfg, cmd_cop_light, cmd_cop_light_color, cmd_parm_num};
    if (const char *refused = range_refusal(command_rules, values, COMMAND_ARGS)) {
        return throw_type_error(refused, CODE_BAD_ARGUMENT), false;
    }
    return true;
}

// writeParameter's checks, in their order, and its fields set; false when
// a check threw.
bool take_parameter_args(const Nan::FunctionCallbackInfo<v8::Value> &info) {
    reset_parameter_fields();
    if (!driver_started) return throw_type_error(MSG_NOT_STARTED_COMMAND, CODE_NOT_STARTED), false;
    int given = info.Length();
    if (given > PARAMETER_ARGS) return throw_type_error(MSG_AT_MOST_2, CODE_BAD_ARGUMENT), false;
    if (const char *refused = type_refusal(info, parameter_rules, std::max(given, 1), false)) {
        return throw_type_error(refused, CODE_BAD_ARGUMENT), false;
    }
    const arg_rule &value_rule = parameter_rules[1];
    const uint8_t *bytes = nullptr;
    size_t length = 0;
    if (given == 2) {
        length = node::Buffer::Length(info[1]);
        // The table's limit, and never past the field the bytes go to.
        if (length > std::min(static_cast<size_t>(value_rule.max), sizeof write_param_value)) {
            return throw_type_error(value_rule.range_message, CODE_BAD_ARGUMENT), false;
        }
        bytes = reinterpret_cast<const uint8_t *>(node::Buffer::Data(info[1]));
    }
    write_param_num = to_int32(info[0]);
    if (const char *refused = range_refusal(parameter_rules, &write_param_num, 1)) {
        return throw_type_error(refused, CODE_BAD_ARGUMENT), false;
    }
    if (length > 0) memcpy(write_param_value, bytes, length);
    return true;
}

// The frame's ticket, or -1 when the queue is full: open()'s driver object
// makes the promise and settles it by the ticket (transmitted_to_js).
void return_ticket(const Nan::FunctionCallbackInfo<v8::Value> &info, int refused, uint32_t ticket) {
    info.GetReturnValue().Set(refused != 0 ? Nan::New(-1.0) : Nan::New(static_cast<double>(ticket)));
}

}  // namespace

NAN_METHOD(SendCommand) {
    if (!own_env()) return;
    ConsoleScope console;
    if (!take_command_args(info)) return;
    if (send_command() != 0) return throw_type_error(MSG_SEND_FAILED, CODE_SEND_FAILED);
    console_line(MSG_CMD_SENT);
}

NAN_METHOD(WriteParameter) {
    if (!own_env()) return;
    ConsoleScope console;
    if (!take_parameter_args(info)) return;
    if (write_parameter() != 0) return throw_type_error(MSG_PARAM_FAILED, CODE_SEND_FAILED);
    console_line(MSG_PARAM_WRITTEN);
}

// sendCommand and writeParameter for the transmit thread: the same checks
// and lines at the call; the frame's own lines once it is written.
// Reached through Symbol.for('corvalith.queueCommand') and
// Symbol.for('corvalith.queueParameter').
NAN_METHOD(QueueCommand) {
    if (!own_env()) return;
    ConsoleScope console;
    if (!take_command_args(info)) return;
    uint32_t ticket = 0;
    int refused = queue_command(&ticket);
    return_ticket(info, refused, ticket);
}

NAN_METHOD(QueueParameter) {
    if (!own_env()) return;
    ConsoleScope console;
    if (!take_parameter_args(info)) return;
    uint32_t ticket = 0;
    int refused = queue_parameter(&ticket);
    return_ticket(info, refused, ticket);
}

// open()'s logPath, which open() has checked: the path for its start, then
// null to give it back. Reached through Symbol.for('corvalith.logPath').
NAN_METHOD(LogPathOption) {
    if (!own_env()) return;
    const char *const refused = "QEL Driver -- Expected a file path or null";
    if (info.Length() != 1) return throw_type_error(refused, CODE_BAD_ARGUMENT);
    if (info[0]->IsNull()) {
        log_path_give("");
        return;
    }
    if (!info[0]->IsString()) return throw_type_error(refused, CODE_BAD_ARGUMENT);
    Nan::Utf8String path(info[0]);
    bool whole = path.length() > 0 && strlen(*path) == static_cast<size_t>(path.length());
    if (!whole || log_path_give(*path) != 0) return throw_type_error(refused, CODE_BAD_ARGUMENT);
}

// A function of the exports that open() uses and an application need not see.
static void set_hidden(v8::Local<v8::Object> exports, const char *key, Nan::FunctionCallback fn) {
    v8::Local<v8::Symbol> symbol = v8::Symbol::For(v8::Isolate::GetCurrent(), Nan::New(key).ToLocalChecked());
    exports->DefineOwnProperty(Nan::GetCurrentContext(), symbol,
                               Nan::GetFunction(Nan::New<v8::FunctionTemplate>(fn)).ToLocalChecked(), v8::DontEnum)
        .Check();
}

// ----------------------------------------------------------- module entry

static void init(v8::Local<v8::Object> exports) {
    lifecycle_js_step(stop_in_javascript);
    Nan::SetMethod(exports, "registerCallback", RegisterCallback);
    Nan::SetMethod(exports, "driverStart", DriverStart);
    Nan::SetMethod(exports, "sendCommand", SendCommand);
    Nan::SetMethod(exports, "writeParameter", WriteParameter);
    Nan::SetMethod(exports, "readStatus", ReadStatus);
    Nan::SetMethod(exports, "simulate", Simulate);
    Nan::SetMethod(exports, "clearMem", ClearMem);
    Nan::SetMethod(exports, "getVersion", GetVersion);
    Nan::SetMethod(exports, "capture", Capture);
    Nan::SetMethod(exports, "mirror", Mirror);
    Nan::SetMethod(exports, "driverStop", DriverStop);
    set_hidden(exports, "corvalith.console", ConsoleTarget);
    set_hidden(exports, "corvalith.link", LinkTarget);
    set_hidden(exports, "corvalith.logPath", LogPathOption);
    set_hidden(exports, "corvalith.queueCommand", QueueCommand);
    set_hidden(exports, "corvalith.queueParameter", QueueParameter);
    set_hidden(exports, "corvalith.transmitted", TransmitTarget);
    set_hidden(exports, "corvalith.readCopy", ReadCopy);
    init_facts(exports);
#ifdef QEL_SIM
    init_bridge(exports);
#endif
}

static NAN_MODULE_INIT(InitV4) { init(target); }

NAN_MODULE_WORKER_ENABLED(qel, InitV4)
