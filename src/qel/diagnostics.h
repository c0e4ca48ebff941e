// Console messages and the debug log file.
//
// No thread writes either output itself: lines go through bounded queues
// (line_queue.h) to writer threads of their own, so a console nobody reads
// or a slow log file never holds up the bus.
//
// The order on standard output: lines come out in the order they were
// queued. When a driver function begins, or a delivery wake-up is about to
// call the application, the driver threads' lines that standard output
// cannot take at once are dropped and counted, never kept for later: so no
// thread line queued before that moment comes out after the application's
// own later lines, and the main thread never waits for the threads'
// backlog. A function's own lines (and the few the threads queue while it
// runs) are written before it returns, as console.log writes: waiting for
// a slow reader, at most five seconds, and not at all while standard output
// is known to be stalled.
#pragma once

#include <cstddef>
#include <cstdint>

#include "messages.h"

// Queues one message (a format of the catalogue) and a line feed.
void console_line(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Assembles one console line from several pieces; print() queues it whole.
class ConsoleLine {
public:
    void add(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    void print();

private:
    char text_[768] = {0};
    size_t len_ = 0;
};

// Waits until the console lines queued so far are written: at most five
// seconds, and not at all while standard output is known to be stalled.
// Main thread only.
void console_flush();

// Writes what standard output takes at once of the lines queued so far and
// drops the rest, counted. Never waits. Main thread only.
void console_settle();

// The console lines of a JavaScript function, written out as it returns,
// whichever way: they come before the application's next own line. What the
// driver threads queued before the function began is settled as it begins.
// The functions that reach the bus open one. Lines queued inside the scope
// wake no writer thread: when the output has room, the end of the scope
// writes them itself.
class ConsoleScope {
public:
    ConsoleScope();
    ~ConsoleScope();
    ConsoleScope(const ConsoleScope &) = delete;
    ConsoleScope &operator=(const ConsoleScope &) = delete;
};

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

// Wall clock in nanoseconds since the Unix epoch.
int64_t wall_clock_ns();

// Empties and opens the log at `path` (a regular file only, never through
// a symbolic link) and writes the header; prints the failure with its
// reason and returns 1 when it cannot.
int log_open(const char *path);

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
