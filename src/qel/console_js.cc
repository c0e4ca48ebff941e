// The driver's console lines on their way out, on the JavaScript thread: to
// process.stdout through lib/open/console.js's writer, so that they take
// their place among the application's lines as console.log would put them;
// or to open()'s console function; or nowhere. When the stream is behind
// (its reader does not keep up), the threads' lines are dropped and
// counted: a slow reader costs lines, never memory, the event loop or a
// driver thread. A function's own lines always go out, as the
// application's own do.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <new>

#include "diagnostics.h"
#include "js_layer.h"
#include "line_ring.h"

namespace {

// How long a terminal that took part of a line gets for the rest of it.
constexpr int FINISH_LINE_MS = 100;

char out[CONSOLE_TAKE_MAX + 8192];
char levels[sizeof out];
// Lines dropped while the stream was behind, told with the next that go.
uint64_t behind_dropped = 0;

uv_async_t wake_handle;
bool wake_ready = false;
Nan::AsyncResource *wake_resource = nullptr;

// Without the writer (an add-on loaded by itself, not through the
// package) the lines go to standard output directly.
Nan::Persistent<v8::Function> stdout_writer;
Nan::Persistent<v8::Function> target;
bool to_stdout = true;

// False when the stream is behind and `may_drop` let it refuse the lines.
bool hand_to_target(char *text, size_t len, bool may_drop) {
    if (len == 0) return true;
    size_t lines = count_lines(text, len);
    len = console_strip_levels(text, len, levels);
    v8::Local<v8::Function> function = Nan::New(to_stdout ? stdout_writer : target);
    if (function.IsEmpty() && to_stdout) write_until(STDOUT_FILENO, text, len, deadline_in_ms(FINISH_LINE_MS));
    if (function.IsEmpty()) return true;
    v8::Local<v8::Value> argv[] = {Nan::New(text, static_cast<int>(len)).ToLocalChecked(),
                                   Nan::New(levels, static_cast<int>(lines)).ToLocalChecked(), Nan::New(may_drop)};
    Nan::TryCatch swallow;  // what an application's function throws is its own affair
    v8::Local<v8::Value> taken;
    return !Nan::Call(function, Nan::GetCurrentContext()->Global(), 3, argv).ToLocal(&taken) || !taken->IsFalse();
}

// A terminal's stream writes synchronously and waits for a slow terminal;
// the threads' lines go to a non-blocking description of the same
// terminal instead. Whatever the application wrote before is on the
// terminal already, so the order holds. -1 when it cannot be opened.
int terminal() {
    static int fd = -2;
    if (fd == -2) fd = isatty(STDOUT_FILENO) ? open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC) : -1;
    return fd;
}

// Writes whole lines without waiting for the terminal, but to finish a line
// it took in part; returns the lines it did not take.
uint64_t write_terminal(int fd, char *text, size_t len) {
    len = console_strip_levels(text, len, nullptr);
    size_t done = write_until(fd, text, len, deadline_in_ms(FINISH_LINE_MS), true);
    if (done > 0 && text[done - 1] != '\n') {
        const char *end = static_cast<const char *>(memchr(text + done, '\n', len - done));
        done = end == nullptr ? len : static_cast<size_t>(end - text) + 1;  // given up on
    }
    return count_lines(text + done, len - done);
}

// The threads' lines, after the count of those dropped before them. At a
// function's end its own lines come first: what the threads queued meanwhile
// (the heartbeat thread's first line, a debug dump) happened during the call
// or after it.
void hand_on() {
    Nan::HandleScope scope;
    hand_to_target(out, console_take(out, sizeof out, true), false);
    size_t notice = behind_dropped > 0 ? console_dropped_line(out, 256, behind_dropped) : 0;
    size_t len = console_take(out + notice, CONSOLE_TAKE_MAX, false);
    uint64_t lines = count_lines(out + notice, len);
    if (to_stdout && terminal() >= 0) {
        behind_dropped = write_terminal(terminal(), out, notice + len);
    } else {
        behind_dropped = hand_to_target(out, notice + len, true) ? 0 : behind_dropped + lines;
    }
}

void send_wake() { uv_async_send(&wake_handle); }

void on_wake(uv_async_t *) {
    Nan::HandleScope scope;
    v8::Local<v8::Object> global = Nan::GetCurrentContext()->Global();
    node::CallbackScope callback_scope(v8::Isolate::GetCurrent(), global, *wake_resource);
    hand_on();
}

// The process is leaving, and the stream held the bytes of the argument
// unwritten: what the threads queued since the last wake-up goes straight
// out, as long as the stream holds nothing that the exit loses (else it
// would come out before that, or glued to half a line).
NAN_METHOD(AtExit) {
    if (!own_env()) return;
    int fd = Nan::To<double>(info[0]).FromMaybe(1) != 0 ? -1 : terminal() >= 0 ? terminal() : STDOUT_FILENO;
    console_exit_to(fd);
    struct timespec deadline = deadline_in_ms(1000);
    if (behind_dropped > 0 && fd >= 0) {
        write_until(fd, out, console_strip_levels(out, console_dropped_line(out, 256, behind_dropped), nullptr), deadline);
    }
    behind_dropped = 0;
    console_flush_until(deadline);
}

// lib/open/console.js leaves a function on the global object,
// Symbol.for('corvalith.stdout'), that takes AtExit and gives the writer to
// process.stdout.
void take_stdout_writer() {
    Nan::TryCatch swallow;
    v8::Local<v8::Value> given;
    v8::Local<v8::Value> writer;
    v8::Local<v8::Symbol> key = v8::Symbol::For(v8::Isolate::GetCurrent(), Nan::New("corvalith.stdout").ToLocalChecked());
    if (!Nan::Get(Nan::GetCurrentContext()->Global(), key).ToLocal(&given) || !given->IsFunction()) return;
    v8::Local<v8::Value> argv[] = {Nan::GetFunction(Nan::New<v8::FunctionTemplate>(AtExit)).ToLocalChecked()};
    bool given_writer = Nan::Call(given.As<v8::Function>(), Nan::GetCurrentContext()->Global(), 1, argv).ToLocal(&writer);
    if (given_writer && writer->IsFunction()) stdout_writer.Reset(writer.As<v8::Function>());
}

}  // namespace

ConsoleScope::ConsoleScope() {
    if (console_scope_enter()) hand_on();
    new (thrown_) Nan::TryCatch();
}

ConsoleScope::~ConsoleScope() {
    v8::Isolate *isolate = v8::Isolate::GetCurrent();
    bool can_continue = thrown().CanContinue();
    v8::Local<v8::Value> exception = can_continue ? thrown().Exception() : v8::Local<v8::Value>();
    if (!can_continue) thrown().ReThrow();  // the runtime is terminating: nothing more runs
    thrown().~TryCatch();
    if (console_scope_leave() && can_continue) hand_on();
    if (!exception.IsEmpty()) isolate->ThrowException(exception);
}

void console_hand_on() { hand_on(); }

// Symbol.for('corvalith.console'): without an argument, the count of lines
// made; else 'stdout', false or a function, where the lines go from now on.
NAN_METHOD(ConsoleTarget) {
    if (!own_env()) return;
    v8::Local<v8::Value> to = info[0];
    if (info.Length() == 0) {
        v8::Local<v8::Object> counts = Nan::New<v8::Object>();
        set_property(counts, "lines", Nan::New(static_cast<double>(console_lines_made())));
        return info.GetReturnValue().Set(counts);
    }
    bool stdout_named = to->IsString() && strcmp(*Nan::Utf8String(to), "stdout") == 0;
    if (!stdout_named && !to->IsFalse() && !to->IsFunction()) {
        return throw_type_error(MSG_CONSOLE_ARG1, CODE_BAD_ARGUMENT);
    }
    hand_on();  // what is queued goes where it was meant to go
    to_stdout = stdout_named;
    target.Reset();
    if (to->IsFunction()) target.Reset(to.As<v8::Function>());
}

int close_console(uv_close_cb closed) {
    console_set_wake(nullptr);
    target.Reset();
    stdout_writer.Reset();
    to_stdout = true;
    wake_resource = nullptr;  // left to the ending runtime, which may no longer run its hooks
    if (!wake_ready) return 0;
    uv_close(reinterpret_cast<uv_handle_t *>(&wake_handle), closed);
    wake_ready = false;
    return 1;
}

void init_console() {
    if (wake_ready) return;
    wake_resource = new Nan::AsyncResource("qel:console");
    uv_async_init(Nan::GetCurrentEventLoop(), &wake_handle, on_wake);
    uv_unref(reinterpret_cast<uv_handle_t *>(&wake_handle));
    wake_ready = true;
    console_set_wake(send_wake);
    Nan::HandleScope scope;
    take_stdout_writer();
}
