// mirror(iface | null): the bridge's frames on a SocketCAN interface, and
// the counts of the mirror so far; QEL_MIRROR turns it on at driverStart.
#include <net/if.h>

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

}  // namespace

NAN_METHOD(Mirror) {
    if (!own_env()) return;
    ConsoleScope console;
    if (info.Length() > 1) return throw_type_error(MSG_AT_MOST_1, CODE_BAD_ARGUMENT);
    v8::Local<v8::Value> arg = info.Length() == 1 ? info[0] : Nan::Undefined().As<v8::Value>();
    if (arg->IsNull()) {
        mirror_stop();
    } else if (arg->IsString()) {
        Nan::Utf8String name(arg);
        if (!mirror_name_valid(*name, static_cast<size_t>(name.length()))) return throw_type_error(MSG_MIRROR_ARG1, CODE_BAD_ARGUMENT);
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
