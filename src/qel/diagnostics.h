// Console messages and the debug log file.
//
// Every console message is one write to standard output, flushed at once, so
// that the driver's lines and the application's own lines keep their order
// when standard output is a pipe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>

#include "messages.h"

// Prints one message (a format of the catalogue) followed by a line feed.
void console_line(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Assembles one console line from several pieces; print() writes it whole.
class ConsoleLine {
public:
    void add(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    void print();

private:
    char text_[768] = {0};
    size_t len_ = 0;
};

// The debug log: a stream created closed, opened by start-up in debug mode.
extern std::ofstream log_file;

// Closes the log when the module is unloaded.
class LogFileCloser {
public:
    ~LogFileCloser();
};
extern LogFileCloser log_file_closer;

// Path of the debug log; the simulated flavour keeps its own inside the
// build tree.
extern const char *const log_path;

// Wall clock in nanoseconds since the Unix epoch.
int64_t wall_clock_ns();

// Opens the log at `path` with truncation and writes the header; prints the
// failure message and returns 1 when the file cannot be opened.
int log_open(const char *path);

// "Current Date and Time: " followed by the ctime text (local time) of the
// whole seconds of `now_ns`, line feed included. Returns the length.
size_t format_log_date_line(char *out, size_t cap, int64_t now_ns);

// One message line for a 16-byte bridge frame received at `t` (ms), written
// at `now_ns`. Returns the length.
size_t format_log_line(char *out, size_t cap, const uint8_t *frame, uint64_t t, int64_t now_ns);

// Appends the message line of `frame` to the log and flushes it. Called by
// the receive thread while it holds the bus lock.
void log_message_line(const uint8_t *frame, uint64_t t);
