// Console messages and the debug log file.
//
// No driver thread writes either output itself, so that no reader, however
// slow, holds one up. Console lines wait in a bounded ring, which the
// JavaScript thread hands to the runtime's own standard output (console_js)
// at every wake-up and whenever a driver function begins or ends; the lines
// a function prints itself wait for its end and go out with it, as
// console.log would write them. Log lines wait in a bounded ring of their
// own for the log's writer thread. A full ring drops lines and counts them,
// and the count is said on the console.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <cstdint>

#include "messages.h"

// Queues one message (a format of the catalogue) and a line feed.
void console_line(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Assembles one console line from several pieces, the first a message of
// the catalogue; print() queues it whole.
class ConsoleLine {
public:
    void add(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    void print();

private:
    const char *message_ = nullptr;
    char text_[768] = {0};
    size_t len_ = 0;
};

// Queued lines begin with the level of their message, one letter (d, i, w,
// e), which no output shows. Takes the letters off `len` bytes of lines in
// place and returns the new length; with `levels`, the letters go there.
size_t console_strip_levels(char *text, size_t len, char *levels);

// The JavaScript thread's side (console_js.cc). `wake` is called, from any
// thread, when lines wait where there were none.
void console_set_wake(void (*wake)());
// The calling thread wakes the JavaScript thread itself after every line
// it queues, and that wake-up hands the lines on: they wake nobody else.
void console_thread_wakes_itself();
// Scopes of driver functions on this thread; each returns whether it is
// the outermost one.
bool console_scope_enter();
bool console_scope_leave();
// The lines that wait: the driver function's own, the notices of the log's
// faults (never dropped), the threads' (with the counts of those the ring
// dropped).
enum class console_lines { own, log_notices, threads };
// Takes them into `out`; returns their length.
size_t console_take(char *out, size_t cap, console_lines which);
constexpr size_t CONSOLE_TAKE_MAX = 64 * 1024 + 1024;
// The line, with its level, that counts `lines` dropped lines.
size_t console_dropped_line(char *out, size_t cap, uint64_t lines);
// The last line that the function under way printed, without its line
// feed and its level: why a start failed. Returns its length.
size_t console_own_last_line(char *out, size_t cap);
// Console lines made since the module was loaded, printed or not.
uint64_t console_lines_made();

// At exit, or in programs without a runtime (the core's tests), the
// threads' lines go straight to a descriptor: standard output unless
// console_exit_to named another, or none (-1: the runtime's stream lost
// output at exit, and lines written past it would come out of order).
void console_exit_to(int fd);
// Writes them, waiting at most until `deadline` (CLOCK_MONOTONIC).
bool console_flush_until(const struct timespec &deadline);
void console_flush();

// A CLOCK_MONOTONIC time `ms` milliseconds from now, and the milliseconds
// left until one (0 once it has passed).
struct timespec deadline_in_ms(int ms);
int ms_until(const struct timespec &deadline);
// Writes all of `len` bytes to `fd`, which may be non-blocking, waiting for
// room until `deadline`; false when it ran out or the output is broken.
bool write_until(int fd, const char *text, size_t len, const struct timespec &deadline);

// Closes the log when the module is unloaded, after whatever the outputs
// take within about a second.
class LogFileCloser {
public:
    ~LogFileCloser();
};
extern LogFileCloser log_file_closer;

// The log file of the flavour: the fixed path, or the simulated flavour's
// own, which it sets when it is loaded.
void log_path_set(const char *path);
const char *log_path_default();
// Names the file that each start in debug mode opens from now on, until ""
// gives the default back; 1 for a path of PATH_MAX bytes or more.
int log_path_give(const char *path);
// The file a start in debug mode opens: the one given, else (the real
// flavours) QEL_LOG_PATH from the environment, else the default.
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
bool log_is_open();
// Waits until the log lines queued so far are written, at most `wait_ms`.
bool log_flush(int wait_ms);
// How the writer writes; tests put a file system that fills up in its
// place (nullptr: write(2) again).
void log_set_writer(ssize_t (*write_fn)(int fd, const void *text, size_t len));

// "Current Date and Time: " followed by the ctime text (local time) of the
// whole seconds of `now_ns`, line feed included. Returns the length.
size_t format_log_date_line(char *out, size_t cap, int64_t now_ns);
// One message line for a 16-byte bridge frame received at `t` (ms), written
// at `now_ns`. Returns the length.
size_t format_log_line(char *out, size_t cap, const uint8_t *frame, uint64_t t, int64_t now_ns);
// Queues the message line of `frame` for the log; nothing when no log is
// open. Called by the receive thread after it released the bus lock.
void log_message_line(const uint8_t *frame, uint64_t t);
