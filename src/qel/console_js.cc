// The driver's console lines on their way out: through the runtime's own
// standard output stream, on the JavaScript thread, so that they take
// their place among the application's lines as console.log would put
// them there.
//
// The threads' lines are handed on at every wake-up and whenever a driver
// function begins or ends. When the stream is behind (its reader does not
// keep up), they are dropped and counted instead: a slow reader costs
// lines, never memory, the event loop or a driver thread. A function's own
// lines always go out, as the application's own do.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "diagnostics.h"
#include "js_layer.h"
#include "line_queue.h"
#include "line_ring.h"

namespace {

// What the stream may hold unwritten, the application's own output
// included, before the threads' lines are dropped rather than handed on.
constexpr double BEHIND_BYTES = 64 * 1024;
// How long a terminal that took part of a line gets for the rest of it.
constexpr int FINISH_LINE_MS = 100;
constexpr size_t NOTICE_ROOM = 160;

// The function's own lines, then the count of the threads' lines dropped
// before, then the threads' lines with the notices of those the ring lost.
char out[2 * 64 * 1024 + CONSOLE_NOTICES_MAX + 4 * NOTICE_ROOM];
// Lines dropped while the stream was behind, told with the next that go.
uint64_t behind_dropped = 0;

uv_async_t wake_handle;
bool wake_ready = false;
Nan::AsyncResource *wake_resource = nullptr;

// Where the lines go: the stream (the default), nowhere, or the
// application's function.
enum class target { stdout_stream, none, function };
target console_to = target::stdout_stream;
Nan::Persistent<v8::Function> console_function;

// The stream's side, compiled once: process.stdout as the application sees
// it now, whether it is behind, and a write that, as console.log's, turns
// an error of the stream (a reader that went away: EPIPE) into nothing
// rather than an uncaught 'error' event.
const char *const STREAM_SOURCE =
    "(function (behindBytes, atExit) {\n"
    "  'use strict';\n"
    "  const noop = () => {};\n"
    "  process.on('exit', () => atExit(process.stdout.writableLength || 0));\n"
    "  const quiet = (stream) => { if (stream.listenerCount('error') === 0) stream.once('error', noop); };\n"
    "  return {\n"
    "    stream: () => process.stdout,\n"
    "    behind: (stream) => !(stream.writableLength <= behindBytes),\n"
    "    write(stream, text) {\n"
    "      const sync = stream.listenerCount('error') === 0;\n"
    "      if (sync) stream.once('error', noop);\n"
    "      try {\n"
    "        stream.write(text, (err) => { if (err) quiet(stream); });\n"
    "      } finally {\n"
    "        if (sync) stream.removeListener('error', noop);\n"
    "      }\n"
    "    },\n"
    "  };\n"
    "})";

Nan::Persistent<v8::Object> stream_helpers;
constexpr int EXIT_WAIT_MS = 1000;
int terminal();

// The process is leaving: what the threads queued since the last wake-up
// goes straight out, as long as the stream holds nothing that the exit
// loses (else it would come out before that, or glued to half a line).
NAN_METHOD(AtExit) {
    if (!own_env()) return;
    bool in_order = info.Length() > 0 && info[0]->IsNumber() && Nan::To<double>(info[0]).FromJust() == 0;
    console_exit_fd = !in_order ? -1 : terminal() >= 0 ? terminal() : STDOUT_FILENO;
    struct timespec deadline = deadline_in_ms(EXIT_WAIT_MS);
    if (behind_dropped > 0) {
        size_t n = console_dropped_line(out, 256, behind_dropped);
        behind_dropped = 0;
        console_write_until(out, n, deadline);
    }
    console_flush_until(deadline);
}

// Empty while the runtime is terminating.
v8::Local<v8::Function> helper(const char *name) {
    Nan::TryCatch swallow;
    if (stream_helpers.IsEmpty()) {
        v8::Local<v8::Script> script;
        v8::Local<v8::Value> make;
        v8::Local<v8::Value> helpers;
        v8::Local<v8::Value> argv[] = {Nan::New(BEHIND_BYTES), Nan::GetFunction(Nan::New<v8::FunctionTemplate>(AtExit)).ToLocalChecked()};
        if (!Nan::CompileScript(Nan::New(STREAM_SOURCE).ToLocalChecked()).ToLocal(&script) ||
            !Nan::RunScript(script).ToLocal(&make) ||
            !Nan::Call(make.As<v8::Function>(), Nan::GetCurrentContext()->Global(), 2, argv).ToLocal(&helpers)) {
            return v8::Local<v8::Function>();
        }
        stream_helpers.Reset(helpers.As<v8::Object>());
    }
    v8::Local<v8::Value> function;
    if (!Nan::Get(Nan::New(stream_helpers), Nan::New(name).ToLocalChecked()).ToLocal(&function) || !function->IsFunction()) {
        return v8::Local<v8::Function>();
    }
    return function.As<v8::Function>();
}

// Calls a helper; empty when it threw or the runtime is terminating.
v8::Local<v8::Value> call_helper(const char *name, int argc, v8::Local<v8::Value> *argv) {
    Nan::TryCatch swallow;
    v8::Local<v8::Function> function = helper(name);
    v8::Local<v8::Value> result;
    if (function.IsEmpty() || !Nan::Call(function, Nan::GetCurrentContext()->Global(), argc, argv).ToLocal(&result)) {
        return v8::Local<v8::Value>();
    }
    return result;
}

// process.stdout, as the application sees it now; empty when there is none.
v8::Local<v8::Object> stdout_stream() {
    v8::Local<v8::Value> stream = call_helper("stream", 0, nullptr);
    return !stream.IsEmpty() && stream->IsObject() ? stream.As<v8::Object>() : v8::Local<v8::Object>();
}

bool stream_behind(v8::Local<v8::Object> stream) {
    v8::Local<v8::Value> argv[] = {stream};
    v8::Local<v8::Value> behind = call_helper("behind", 1, argv);
    return behind.IsEmpty() || behind->IsTrue();
}

void stream_write(v8::Local<v8::Object> stream, char *text, size_t len) {
    len = console_strip_levels(text, len, nullptr);
    if (len == 0) return;
    v8::Local<v8::Value> argv[] = {stream, Nan::New(text, static_cast<int>(len)).ToLocalChecked()};
    call_helper("write", 2, argv);
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
    size_t done = 0;
    struct timespec deadline = deadline_in_ms(FINISH_LINE_MS);
    while (done < len) {
        ssize_t n = write(fd, text + done, len - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        bool mid_line = done > 0 && text[done - 1] != '\n';
        int ms = ms_until(deadline);
        struct pollfd room = {fd, POLLOUT, 0};
        if (!mid_line || n == 0 || errno != EAGAIN || ms == 0 || poll(&room, 1, ms) <= 0) break;
    }
    if (done > 0 && text[done - 1] != '\n') {
        const char *end = static_cast<const char *>(memchr(text + done, '\n', len - done));
        done = end == nullptr ? len : static_cast<size_t>(end - text) + 1;  // given up on
    }
    return count_lines(text + done, len - done);
}

// Takes the threads' lines, with the notices of those the ring lost, into
// `at`; `*lines` counts what they stand for.
size_t take_threads(char *at, size_t cap, uint64_t *lines) {
    size_t len = 0;
    for (;;) {
        if (len + 2 * NOTICE_ROOM > cap) return len;
        uint64_t dropped = 0;
        size_t n = console_take(at + len, cap - len - NOTICE_ROOM, &dropped);
        *lines += count_lines(at + len, n) + dropped;
        len += n;
        if (dropped > 0) len += console_dropped_line(at + len, NOTICE_ROOM, dropped);
        if (n == 0 && dropped == 0) return len;
    }
}

// Appends the threads' lines to the `len` bytes in `out`, with the count
// of those dropped before them in front, or drops them when the stream is
// behind; a terminal takes them at once. Returns the new length.
size_t add_threads(v8::Local<v8::Object> stream, size_t len) {
    uint64_t lines = 0;
    size_t notice = behind_dropped > 0 ? console_dropped_line(out + len, NOTICE_ROOM, behind_dropped) : 0;
    size_t taken = take_threads(out + len + notice, sizeof out - len - notice, &lines);
    if (taken == 0 && notice == 0) return len;
    int fd = terminal();
    if (stream.IsEmpty() || (fd < 0 && stream_behind(stream))) {
        behind_dropped += lines;
        return len;
    }
    behind_dropped = 0;
    if (fd < 0) return len + notice + taken;
    if (len > 0) stream_write(stream, out, len);
    behind_dropped += write_terminal(fd, out + len, notice + taken);
    return 0;
}

// At a function's end its own lines come first: what the threads queued
// meanwhile (the heartbeat thread's first line, a debug dump) happened
// during the call or after it.
// The lines, with their notices, to the application's function, or
// nowhere; never while the bus lock is held (no caller holds it).
// The function gets the text and the level of each of its lines, one
// letter a line (d, i, w, e).
void hand_to_function(bool with_own) {
    static char levels[sizeof out];
    uint64_t lines = 0;
    size_t len = with_own ? console_take_own(out, 64 * 1024) : 0;
    len += console_take_notices(out + len, CONSOLE_NOTICES_MAX);
    len += take_threads(out + len, sizeof out - len, &lines);
    if (len == 0 || console_to == target::none) return;
    len = console_strip_levels(out, len, levels);
    v8::Local<v8::Value> argv[] = {Nan::New(out, static_cast<int>(len)).ToLocalChecked(),
                                   Nan::New(levels, static_cast<int>(count_lines(out, len))).ToLocalChecked()};
    Nan::TryCatch swallow;  // what it throws is its own affair, not the driver's
    Nan::Call(Nan::New(console_function), Nan::GetCurrentContext()->Global(), 2, argv);
}

void hand_on(bool with_own) {
    if (console_idle() && behind_dropped == 0 && !(with_own && console_own_waiting())) return;
    Nan::HandleScope scope;
    if (console_to != target::stdout_stream) return hand_to_function(with_own);
    v8::Local<v8::Object> stream = stdout_stream();
    size_t len = with_own ? console_take_own(out, 64 * 1024) : 0;
    len += console_take_notices(out + len, CONSOLE_NOTICES_MAX);
    len = add_threads(stream, len);
    if (!stream.IsEmpty()) stream_write(stream, out, len);
}

void send_wake() { uv_async_send(&wake_handle); }

void on_wake(uv_async_t *) {
    Nan::HandleScope scope;
    v8::Local<v8::Object> global = Nan::GetCurrentContext()->Global();
    node::CallbackScope callback_scope(v8::Isolate::GetCurrent(), global, *wake_resource);
    hand_on(false);
}

}  // namespace

ConsoleScope::ConsoleScope() {
    if (console_scope_enter()) hand_on(false);
    new (thrown_) Nan::TryCatch();
}

ConsoleScope::~ConsoleScope() {
    v8::Isolate *isolate = v8::Isolate::GetCurrent();
    bool can_continue = thrown().CanContinue();
    v8::Local<v8::Value> exception;
    if (thrown().HasCaught() && can_continue) {
        exception = thrown().Exception();
        thrown().Reset();
    } else if (thrown().HasCaught()) {
        thrown().ReThrow();  // the runtime is terminating: nothing more runs
    }
    thrown().~TryCatch();
    if (console_scope_leave() && can_continue) hand_on(true);
    if (!exception.IsEmpty()) isolate->ThrowException(exception);
}

void console_hand_on() { hand_on(false); }

NAN_METHOD(ConsoleTarget) {
    if (!own_env()) return;
    if (info.Length() == 0) {
        v8::Local<v8::Object> counts = Nan::New<v8::Object>();
        set_property(counts, "lines", Nan::New(static_cast<double>(console_lines_made())));
        return info.GetReturnValue().Set(counts);
    }
    hand_on(false);  // what is queued goes where it was meant to go
    v8::Local<v8::Value> to = info[0];
    console_function.Reset();
    if (to->IsFunction()) {
        console_function.Reset(to.As<v8::Function>());
        console_to = target::function;
    } else if (to->IsFalse()) {
        console_to = target::none;
    } else if (to->IsString() && *Nan::Utf8String(to) == std::string("stdout")) {
        console_to = target::stdout_stream;
    } else {
        return throw_type_error("QEL Driver -- Expected 'stdout', false or a function", CODE_BAD_ARGUMENT);
    }
}

int close_console(uv_close_cb closed) {
    console_set_wake(nullptr);
    console_function.Reset();
    console_to = target::stdout_stream;
    stream_helpers.Reset();
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
    // Compiled now, so that the exit is watched whether or not a line
    // went out before it.
    Nan::HandleScope scope;
    helper("stream");
}
