// mirror(iface | null): the bridge's frames on a SocketCAN interface, and
// the counts of the mirror so far; QEL_MIRROR turns it on at driverStart.
#include <net/if.h>

#include <cstdlib>
#include <cstring>

#include "diagnostics.h"
#include "js_layer.h"
#include "mirror.h"

namespace {

v8::Local<v8::Object> state_object() {
    char iface[IFNAMSIZ];
    mirror_counts counts;
    mirror_state(iface, sizeof iface, &counts);
    v8::Local<v8::Object> state = Nan::New<v8::Object>();
    set_property(state, "interface", iface[0] ? Nan::New(iface).ToLocalChecked().As<v8::Value>() : Nan::Null().As<v8::Value>());
    set_property(state, "sent", Nan::New(static_cast<double>(counts.sent)));
    set_property(state, "dropped", Nan::New(static_cast<double>(counts.dropped)));
    set_property(state, "checksumErrors", Nan::New(static_cast<double>(counts.checksum_errors)));
    set_property(state, "empty", Nan::New(static_cast<double>(counts.empty)));
    return state;
}

// No interface's name holds a control character, and one in a console line
// would break it or hide what follows.
bool has_control_character(const char *name) {
    for (const char *c = name; *c != '\0'; c++) {
        if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7F) return true;
    }
    return false;
}

bool valid_name(const char *name, size_t length) {
    return length >= 1 && length < IFNAMSIZ && strlen(name) == length && strchr(name, '/') == nullptr &&
           !has_control_character(name);
}

}  // namespace

// A failed start from the environment is told on the console, in the words
// mirror() would throw, and leaves the driver running: the mirror is for
// watching, never a reason to stop.
void mirror_from_environment() {
    const char *iface = getenv("QEL_MIRROR");
    if (iface == nullptr || iface[0] == '\0' || mirror_on.load()) return;
    if (!valid_name(iface, strlen(iface))) return console_line("%s", MSG_MIRROR_ARG1);
    int err = mirror_start(iface);
    if (err == 0) return console_line(MSG_MIRROR_ON, iface);
    char line[320];
    mirror_failure(line, sizeof line, iface, err);
    console_line("%s", line);
}

NAN_METHOD(Mirror) {
    if (!own_env()) return;
    ConsoleScope console;
    if (info.Length() > 1) return throw_type_error(MSG_AT_MOST_1, CODE_BAD_ARGUMENT);
    v8::Local<v8::Value> arg = info.Length() == 1 ? info[0] : Nan::Undefined().As<v8::Value>();
    if (arg->IsNull()) {
        mirror_stop();
    } else if (arg->IsString()) {
        Nan::Utf8String name(arg);
        if (!valid_name(*name, static_cast<size_t>(name.length()))) return throw_type_error(MSG_MIRROR_ARG1, CODE_BAD_ARGUMENT);
        int err = mirror_start(*name);
        if (err != 0) {
            char text[320];
            mirror_failure(text, sizeof text, *name, err);
            return throw_type_error_uv(text, -err);
        }
        console_line(MSG_MIRROR_ON, *name);
    } else if (!arg->IsUndefined()) {
        return throw_type_error(MSG_MIRROR_ARG1, CODE_BAD_ARGUMENT);
    }
    info.GetReturnValue().Set(state_object());
}
