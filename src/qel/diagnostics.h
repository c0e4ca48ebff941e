// Console messages and the debug log file.
//
// No driver thread writes either output itself. The debug log goes through
// a bounded queue (line_queue.h) to a writer thread of its own, so a slow
// file never holds up the bus. Console lines have one writer, the
// runtime's own standard output stream on the JavaScript thread
// (console_js.cc): the driver threads queue them in a bounded ring, which
// that thread hands on at every wake-up and whenever a driver function
// begins or ends; a function's own lines wait for its end and go out with
// it, as console.log would write them. So the order among the
// application's lines and the driver's is the runtime's, and no reader,
// however slow, holds up a driver thread.
#pragma once

#include <time.h>

#include <cstddef>
#include <cstdint>

#include "messages.h"

// Queues one message (a format of the catalogue) and a line feed.
void console_line(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// A message's level travels with it on its way out as a first byte, one of
// these, which no message text holds; the outputs take it off again.
enum console_level : char { LEVEL_DEBUG = 1, LEVEL_INFO = 2, LEVEL_WARN = 3, LEVEL_ERROR = 4 };
// The level of the catalogue's message `fmt` (messages.h).
console_level console_level_of(const char *fmt);
// Takes the levels off `len` bytes of whole lines in place and returns
// their new length; with `levels`, one letter per line goes there (d, i, w,
// e), a line that continues a message taking the message's.
size_t console_strip_levels(char *text, size_t len, char *levels);

// Assembles one console line from several pieces; print() queues it whole.
class ConsoleLine {
public:
    void add(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    void print();

private:
    char text_[768] = {0};
    size_t len_ = 0;
};

// The JavaScript thread's side of the console (console_js.cc and
// ConsoleScope): `wake` is called, from any thread, when lines wait in the
// ring that was idle.
void console_set_wake(void (*wake)());
// Scopes of the JavaScript thread; each returns whether it is the
// outermost one.
bool console_scope_enter();
bool console_scope_leave();
// Takes the threads' lines (see LineRing::take).
size_t console_take(char *out, size_t cap, uint64_t *dropped);
bool console_idle();
// Takes the notices of the log's faults, which are never dropped for a
// slow reader (4 KiB of them at most wait); `cap` holds at least 4352.
size_t console_take_notices(char *out, size_t cap);
constexpr size_t CONSOLE_NOTICES_MAX = 4096 + 256;
// Whether the function under way printed lines, and takes them.
bool console_own_waiting();
size_t console_take_own(char *out, size_t cap);
// The line that counts `lines` dropped lines, line feed included, with
// its level.
size_t console_dropped_line(char *out, size_t cap, uint64_t lines);

// Writes the threads' lines straight to standard output, waiting at most
// until `deadline` (CLOCK_MONOTONIC) for a slow reader: at exit, when the
// runtime's stream is done, and in programs without a runtime (the core's
// tests). Returns whether all went out.
bool console_flush_until(const struct timespec &deadline);
void console_flush();
// Where those lines go: standard output, a terminal's non-blocking
// description of its own, or nowhere (-1) once the runtime's stream had
// output pending at exit, which the process loses: lines written past it
// would come out of order.
extern int console_exit_fd;
// Takes the levels off `text` first.
bool console_write_until(char *text, size_t len, const struct timespec &deadline);

// Closes the log when the module is unloaded, after whatever the outputs
// take within about a second.
class LogFileCloser {
public:
    ~LogFileCloser();
};
extern LogFileCloser log_file_closer;

// Path of the debug log; the simulated flavour keeps its own inside the
// build tree.
extern const char *log_path;
// The real flavours' log file: QEL_LOG_PATH if set, else the fixed path.
void log_path_from_environment();
// Names the file that each start in debug mode opens from now on, whatever
// the environment says, until "" gives it back; 1 for a path of PATH_MAX
// bytes or more.
int log_path_give(const char *path);
// The file a start in debug mode opens: the one given, else (the real
// flavours) QEL_LOG_PATH, else log_path.
const char *log_path_for_start();

// Wall clock in nanoseconds since the Unix epoch.
int64_t wall_clock_ns();

// Empties and opens the log at `path` (a regular file only, never through
// a symbolic link) and writes the header; prints the failure with its
// reason and returns 1 when it cannot.
int log_open(const char *path);

// Writes out what the log holds (a second at most), closes it and ends its
// writer thread.
void log_close_now();

// The last line that the function under way printed, without its line
// feed: why a start failed. Returns its length.
size_t console_own_last_line(char *out, size_t cap);

// Console lines made since the module was loaded, printed or not.
uint64_t console_lines_made();

// Whether a log file is open.
bool log_is_open();

// Waits until the log lines queued so far are written, at most `wait_ms`.
bool log_flush(int wait_ms);

// "Current Date and Time: " followed by the ctime text (local time) of the
// whole seconds of `now_ns`, line feed included. Returns the length.
size_t format_log_date_line(char *out, size_t cap, int64_t now_ns);

// One message line for a 16-byte bridge frame received at `t` (ms), written
// at `now_ns`. Returns the length.
size_t format_log_line(char *out, size_t cap, const uint8_t *frame, uint64_t t, int64_t now_ns);

// Queues the message line of `frame` for the log; nothing when no log is
// open. Called by the receive thread after it released the bus lock.
void log_message_line(const uint8_t *frame, uint64_t t);
