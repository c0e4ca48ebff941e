// The one way the driver calls application code from the event loop: the
// function itself is guarded, what it throws is printed, never rethrown.
#include "diagnostics.h"
#include "js_layer.h"

namespace {

void print_exception(const Nan::TryCatch &caught, guarded_caller caller) {
    bool delivery = caller == guarded_caller::delivery;
    console_line(delivery ? MSG_CALLBACK_EXCEPTION : MSG_CAPTURE_EXCEPTION);
    if (caught.Exception().IsEmpty()) return;
    // A value without a text (a Symbol, an object without or with a throwing
    // toString) leaves Utf8String's buffer unwritten, but its length 0.
    Nan::TryCatch conversion;
    Nan::Utf8String text(caught.Exception());
    console_line(delivery ? MSG_CALLBACK_EXCEPTION_DETAILS : MSG_CAPTURE_EXCEPTION_DETAILS, text.length() > 0 ? *text : "");
}

}  // namespace

// The caller runs this in the callback scope of its async resource: its
// TryCatch has ended when the scope closes, so an error of a tick callback
// that the function queued reaches process.on('uncaughtException') like
// any other.
bool call_guarded(v8::Local<v8::Function> function, v8::Local<v8::Object> receiver, int argc,
                  v8::Local<v8::Value> *argv, guarded_caller caller) {
    Nan::TryCatch caught;
    bool returned = !function->Call(Nan::GetCurrentContext(), receiver, argc, argv).IsEmpty();
    if (v8::Isolate::GetCurrent()->IsExecutionTerminating()) return false;
    if (returned || !caught.HasCaught()) return true;
    // The lines go out before the next application code runs.
    ConsoleScope console;
    print_exception(caught, caller);
    return true;
}
