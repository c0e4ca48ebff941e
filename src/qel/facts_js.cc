// The facts export: what the JavaScript side would otherwise keep copies of
// (the message slots, the defaults, the error codes, the frame layout and
// the rules of the driver functions' arguments), read from the tables the
// driver itself runs on, as one frozen object: the module's `facts`, a
// property that is not enumerated with the functions.
#include "argument_rules.h"
#include "config.h"
#include "frame.h"
#include "js_layer.h"
#include "message_memory.h"
#include "messages.h"

namespace {

struct code_row {
    const char *key;
    const char *value;
};

const code_row codes[] = {
    {"BAD_ARGUMENT", CODE_BAD_ARGUMENT}, {"NO_CALLBACK", CODE_NO_CALLBACK},
    {"ALREADY_STARTED", CODE_ALREADY_STARTED}, {"NOT_STARTED", CODE_NOT_STARTED},
    {"START_FAILED", CODE_START_FAILED}, {"SEND_FAILED", CODE_SEND_FAILED},
    {"IN_OTHER_THREAD", CODE_IN_OTHER_THREAD}, {"BAD_OPTION", CODE_BAD_OPTION},
    {"UNKNOWN_ID", CODE_UNKNOWN_ID}, {"BAD_COMMAND", CODE_BAD_COMMAND},
};

const char *const kind_names[] = {"integer", "identifiers", "boolean", "bytes"};

v8::Local<v8::String> text(const char *value) { return Nan::New(value).ToLocalChecked(); }
v8::Local<v8::Value> value_of(const char *value) { return text(value); }
v8::Local<v8::Value> value_of(int value) { return Nan::New(value); }

template <typename T>
T frozen(T value) {
    value->SetIntegrityLevel(Nan::GetCurrentContext(), v8::IntegrityLevel::kFrozen).Check();
    return value;
}

// The identifiers of the listed slots whose flag is set.
v8::Local<v8::Array> flagged_ids(const int32_t *flags) {
    v8::Local<v8::Array> ids = Nan::New<v8::Array>();
    for (int pos = 0; pos < MSG_SLOTS; pos++) {
        if (flags[pos] != 0) Nan::Set(ids, ids->Length(), Nan::New(PDO_map[pos].msg_id));
    }
    return frozen(ids);
}

v8::Local<v8::Array> slots() {
    v8::Local<v8::Array> list = Nan::New<v8::Array>(MSG_SLOTS);
    for (int pos = 0; pos < MSG_SLOTS; pos++) {
        v8::Local<v8::Object> slot = Nan::New<v8::Object>();
        set_property(slot, "id", Nan::New(PDO_map[pos].msg_id));
        set_property(slot, "enabled", Nan::New(default_enabled[pos] != 0));
        set_property(slot, "cyclic", Nan::New(default_cyclic[pos] != 0));
        Nan::Set(list, pos, frozen(slot));
    }
    return frozen(list);
}

v8::Local<v8::Array> statistics() {
    v8::Local<v8::Array> keys = Nan::New<v8::Array>(STAT_SLOTS);
    for (int i = 0; i < STAT_SLOTS; i++) Nan::Set(keys, i, text(STAT_KEYS[i]));
    return frozen(keys);
}

// driverStart's settings at load, by the names of its arguments' rules.
v8::Local<v8::Object> defaults() {
    const int32_t delays[4] = {default_i2c_delay, default_can_bus_delay, default_hb_delay, default_deb_delay};
    v8::Local<v8::Object> values = Nan::New<v8::Object>();
    for (int i = 0; i < 4; i++) set_property(values, start_rules[i].name, Nan::New(delays[i]));
    set_property(values, start_rules[4].name, flagged_ids(default_enabled));
    set_property(values, start_rules[5].name, flagged_ids(default_cyclic));
    set_property(values, start_rules[6].name, Nan::False());
    return frozen(values);
}

struct number_row {
    const char *key;
    int value;
};

template <typename Row, size_t N>
v8::Local<v8::Object> object_of(const Row (&rows)[N]) {
    v8::Local<v8::Object> values = Nan::New<v8::Object>();
    for (const Row &row : rows) set_property(values, row.key, value_of(row.value));
    return frozen(values);
}

// Where the identifier sits, as frame_id() reads it: from a frame whose
// every byte holds its own offset, the high byte of the identifier is the
// offset of its first byte.
int frame_id_at() {
    uint8_t probe[FRAME_BYTES];
    for (uint32_t i = 0; i < FRAME_BYTES; i++) probe[i] = static_cast<uint8_t>(i);
    return static_cast<int>(frame_id(probe) >> 8);
}

v8::Local<v8::Object> frame_layout() {
    const number_row rows[] = {
        {"bytes", FRAME_BYTES},         {"transmitBytes", TRANSMIT_BYTES}, {"idAt", frame_id_at()},
        {"lengthAt", FRAME_LENGTH_AT},  {"dataAt", FRAME_DATA_AT},         {"checksumAt", FRAME_CHECKSUM_AT},
        {"lenEmpty", LEN_EMPTY},        {"regBaud", REG_BAUD},             {"regTransmit", REG_TRANSMIT},
        {"regReceive", REG_RECEIVE},    {"baud250k", BAUD_250K},           {"idEmpty", ID_EMPTY},
        {"idError", ID_ERROR},          {"idUnknown", ID_UNKNOWN},         {"address", slave_address},
    };
    return object_of(rows);
}

v8::Local<v8::Array> rules(const arg_rule *table, int count) {
    v8::Local<v8::Array> list = Nan::New<v8::Array>(count);
    for (int i = 0; i < count; i++) {
        const arg_rule &rule = table[i];
        v8::Local<v8::Object> row = Nan::New<v8::Object>();
        set_property(row, "name", text(rule.name));
        set_property(row, "kind", text(kind_names[static_cast<int>(rule.kind)]));
        if (rule.kind == arg_kind::integer || rule.kind == arg_kind::bytes) {
            set_property(row, "min", Nan::New(rule.min));
            set_property(row, "max", Nan::New(rule.max));
        }
        if (rule.unit != nullptr) set_property(row, "unit", text(rule.unit));
        if (rule.needs_position >= 0) {
            v8::Local<v8::Object> needs = Nan::New<v8::Object>();
            set_property(needs, "position", Nan::New(rule.needs_position));
            set_property(needs, "value", Nan::New(rule.needs_value));
            set_property(row, "needs", frozen(needs));
        }
        Nan::Set(list, i, frozen(row));
    }
    return frozen(list);
}

v8::Local<v8::Object> argument_rules() {
    v8::Local<v8::Object> functions = Nan::New<v8::Object>();
    set_property(functions, "driverStart", rules(start_rules, START_ARGS));
    set_property(functions, "sendCommand", rules(command_rules, COMMAND_ARGS));
    set_property(functions, "writeParameter", rules(parameter_rules, PARAMETER_ARGS));
    return frozen(functions);
}

}  // namespace

void init_facts(v8::Local<v8::Object> exports) {
    v8::Local<v8::Object> facts = Nan::New<v8::Object>();
    set_property(facts, "slots", slots());
    set_property(facts, "statistics", statistics());
    set_property(facts, "defaults", defaults());
    set_property(facts, "codes", object_of(codes));
    set_property(facts, "frame", frame_layout());
    set_property(facts, "arguments", argument_rules());
    const auto fixed = static_cast<v8::PropertyAttribute>(v8::DontEnum | v8::ReadOnly | v8::DontDelete);
    exports->DefineOwnProperty(Nan::GetCurrentContext(), text("facts"), frozen(facts), fixed).Check();
}
