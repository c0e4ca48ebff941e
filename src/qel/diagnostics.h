// Console messages and the debug log file.
//
// No driver thread writes either output itself, so that no reader, however
// slow, holds one up. Console lines wait in a bounded ring that the
// JavaScript thread hands on (console_js) at every wake-up and whenever a
// driver function begins or ends; the lines a function prints itself wait
// for its end and go out with it, as console.log would write them. Log
// lines wait in a bounded ring of their own for the log's writer thread. A
// full ring drops lines, and the console says how many.
#pragma once

#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "messages.h"

// Queues one message (a format of the catalogue) and a line feed.
void console_line(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// One console line assembled from pieces, the first a message of the
// catalogue; print() queues it whole.
class ConsoleLine {
public:
    void add(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    void print();

private:
    const char *message_ = nullptr;
    char text_[768] = {0};
    size_t len_ = 0;
};

// Queued lines begin with the level of their message (d, i, w, e), which
// no output shows: this takes the letters off, into `levels` when given.
size_t console_strip_levels(char *text, size_t len, char *levels);

// The JavaScript thread's side (console_js.cc). `wake` is called, from any
// thread, when lines wait where there were none.
void console_set_wake(void (*wake)());
// The calling thread wakes the JavaScript thread itself after every line
// it queues, and that wake-up hands the lines on: they wake nobody else.
void console_thread_wakes_itself();
// Scopes of driver functions on this thread: true for the outermost.
bool console_scope_enter();
bool console_scope_leave();
// With `own`, the lines of the driver function that ended (one under way
// keeps them), never dropped; else the threads' lines, with the counts of
// those the ring dropped.
size_t console_take(char *out, size_t cap, bool own);
constexpr size_t CONSOLE_TAKE_MAX = 64 * 1024 + 1024;
size_t console_dropped_line(char *out, size_t cap, uint64_t lines);
// The last line of the function under way, without its level: why a start failed.
size_t console_own_last_line(char *out, size_t cap);
// Console lines made since the module was loaded, printed or not.
uint64_t console_lines_made();

// At exit, or in programs without a runtime (the core's tests), the
// threads' lines go straight to a descriptor: standard output, another
// that console_exit_to names, or none (-1: the runtime's stream lost
// output at exit, and lines written past it would come out of order).
void console_exit_to(int fd);
bool console_flush_until(const struct timespec &deadline);
void console_flush();

// CLOCK_MONOTONIC deadlines.
struct timespec deadline_in_ms(int ms);
int ms_until(const struct timespec &deadline);
// Writes `len` bytes to `fd` with `write_fn`; a non-blocking `fd` that is
// full gets until `deadline` for room, with `finish_lines` only to finish a
// line it began. Returns the bytes written; `*err`: why it stopped short.
size_t write_until(int fd, const char *text, size_t len, const struct timespec &deadline, bool finish_lines = false,
                   int *err = nullptr, ssize_t (*write_fn)(int, const void *, size_t) = write);

// Closes the log when the module is unloaded, after whatever the outputs
// take within about a second.
class LogFileCloser {
public:
    ~LogFileCloser();
};
extern LogFileCloser log_file_closer;

// The flavour's log file: the fixed path, or the one the simulated flavour
// sets when it is loaded.
void log_path_set(const char *path);
const char *log_path_default();
// Names the file of each start in debug mode until "" gives the default
// back; 1 for a path of PATH_MAX bytes or more.
int log_path_give(const char *path);
// The one given, else (the real flavours) QEL_LOG_PATH, else the default.
const char *log_path_for_start();

// Wall clock in nanoseconds since the Unix epoch.
int64_t wall_clock_ns();

// Empties and opens the log (a regular file only, never through a symbolic
// link) and writes the header; prints why and returns 1 when it cannot.
int log_open(const char *path);
// Writes out what the log holds (a second at most), closes it, joins its writer.
void log_close_now();
bool log_is_open();
// Waits until the lines queued so far are written, at most `wait_ms`.
bool log_flush(int wait_ms);
// Tests write through a file system that fills up (nullptr: write(2) again).
void log_set_writer(ssize_t (*write_fn)(int fd, const void *text, size_t len));

// "Current Date and Time: " and the ctime text (local time) of the whole
// seconds of `now_ns`, line feed included. Returns the length.
size_t format_log_date_line(char *out, size_t cap, int64_t now_ns);
// The line of a 16-byte bridge frame received at `t` (ms), written at `now_ns`.
size_t format_log_line(char *out, size_t cap, const uint8_t *frame, uint64_t t, int64_t now_ns);
// Queues the line of `frame` when a log is open; the receive thread calls
// it after it released the bus lock.
void log_message_line(const uint8_t *frame, uint64_t t);
