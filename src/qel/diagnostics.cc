#include "diagnostics.h"

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "bridge_link.h"
#include "config.h"

#ifndef QEL_LOG_PATH
#define QEL_LOG_PATH "/home/root/node_production_app/node_modules/corvalith/qel_cc_log.txt"
#endif

const char *const log_path = QEL_LOG_PATH;

// Reception times are 64-bit from end to end; on 32-bit targets the build
// selects the 64-bit time_t, so that dates after January 2038 convert.
static_assert(sizeof(time_t) == 8, "build with a 64-bit time_t (_TIME_BITS=64 on 32-bit targets)");

// Constructed in this order; destroyed in reverse, so the closer runs while
// the stream still exists.
std::ofstream log_file;
LogFileCloser log_file_closer;

// ---------------------------------------------------------------- console

// The runtime leaves a piped standard output in non-blocking mode, so a
// full pipe refuses a write instead of waiting: wait for room and go on, so
// that no line is lost. One write per line keeps a line whole next to the
// application's own output. A reader that takes nothing for seconds, or a
// closed output, costs the line but never stops the driver.
static void write_console(const char *text, size_t len) {
    int waited_ms = 0;
    while (len > 0) {
        ssize_t n = write(STDOUT_FILENO, text, len);
        if (n > 0) {
            text += n;
            len -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waited_ms < 5000) {
            struct pollfd room = {STDOUT_FILENO, POLLOUT, 0};
            poll(&room, 1, 100);
            waited_ms += 100;
            continue;
        }
        return;
    }
}

void console_line(const char *fmt, ...) {
    char text[512];
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    int len = vsnprintf(text, sizeof text - 1, fmt, args);
    va_end(args);
    if (len < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(len) < sizeof text - 1) {
        text[len] = '\n';
        write_console(text, static_cast<size_t>(len) + 1);
    } else {
        // Only the exception details of a callback get this long; they are
        // printed on the main thread, where allocating is harmless.
        std::string long_text(static_cast<size_t>(len) + 1, '\0');
        vsnprintf(&long_text[0], long_text.size(), fmt, again);
        long_text[static_cast<size_t>(len)] = '\n';
        write_console(long_text.data(), long_text.size());
    }
    va_end(again);
}

void ConsoleLine::add(const char *fmt, ...) {
    if (len_ >= sizeof text_ - 1) return;
    va_list args;
    va_start(args, fmt);
    int n = vsnprintf(text_ + len_, sizeof text_ - 1 - len_, fmt, args);
    va_end(args);
    if (n < 0) return;
    len_ += static_cast<size_t>(n);
    if (len_ > sizeof text_ - 2) len_ = sizeof text_ - 2;
}

void ConsoleLine::print() {
    text_[len_] = '\n';
    write_console(text_, len_ + 1);
}

// -------------------------------------------------------------- log file

int64_t wall_clock_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

static const char *const weekday_names[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
static const char *const month_names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

size_t format_log_date_line(char *out, size_t cap, int64_t now_ns) {
    time_t seconds = static_cast<time_t>(now_ns / 1000000000);
    struct tm local;
    localtime_r(&seconds, &local);
    // The layout of ctime(), written out so that no shared static buffer
    // and no locale is involved.
    int n = snprintf(out, cap, LOG_HEADER_DATE "%s %s %2d %02d:%02d:%02d %d\n",
                     weekday_names[local.tm_wday % 7], month_names[local.tm_mon % 12],
                     local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                     local.tm_year + 1900);
    return n < 0 ? 0 : static_cast<size_t>(n) < cap ? static_cast<size_t>(n) : cap - 1;
}

size_t format_log_line(char *out, size_t cap, const uint8_t *frame, uint64_t t, int64_t now_ns) {
    time_t seconds = static_cast<time_t>(now_ns / 1000000000);
    int millis = static_cast<int>((now_ns / 1000000) % 1000);
    struct tm utc;
    gmtime_r(&seconds, &utc);
    uint32_t id = static_cast<uint32_t>(frame[2]) * 256u + frame[3];
    // A frame carries 8 data bytes, whatever its length code claims.
    unsigned count = frame[6] > 8 ? 8u : frame[6];

    size_t len = 0;
    auto append = [&](int n) {
        if (n > 0) len += static_cast<size_t>(n);
        if (len >= cap) len = cap - 1;
    };
    append(snprintf(out, cap, "%04d-%02d-%02d %02d:%02d:%02d.%03d: MsgID = 0x%" PRIx32 ", data = ",
                    utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                    utc.tm_sec, millis, id));
    for (unsigned i = 0; i < count; i++) append(snprintf(out + len, cap - len, "%02x, ", frame[7 + i]));
    append(snprintf(out + len, cap - len, "timestamp = %" PRIu64 "\n", t));
    return len;
}

static void write_header_line(const char *text) {
    log_file << text << '\n';
    log_file.flush();
}

static void write_header() {
    char line[128];
    write_header_line(LOG_HEADER_TITLE);
    snprintf(line, sizeof line, LOG_HEADER_VERSION, QEL_VERSION);
    write_header_line(line);
    snprintf(line, sizeof line, LOG_HEADER_I2C, i2c_delay);
    write_header_line(line);
    snprintf(line, sizeof line, LOG_HEADER_CAN, can_bus_delay);
    write_header_line(line);
    snprintf(line, sizeof line, LOG_HEADER_HB, hb_delay);
    write_header_line(line);
    snprintf(line, sizeof line, LOG_HEADER_DEB, deb_delay);
    write_header_line(line);
    // Line 7 stays in the stream's buffer until the first message line.
    size_t n = format_log_date_line(line, sizeof line, wall_clock_ns());
    log_file.write(line, static_cast<std::streamsize>(n));
}

int log_open(const char *path) {
    // A repeated start reopens the file afresh.
    if (log_file.is_open()) log_file.close();
    log_file.clear();
    log_file.open(path, std::ios::out | std::ios::trunc);
    if (!log_file.is_open()) {
        console_line(MSG_LOG_OPEN_FAILED);
        return 1;
    }
    write_header();
    return 0;
}

void log_message_line(const uint8_t *frame, uint64_t t) {
    if (!log_file.is_open()) return;
    char line[160];
    size_t n = format_log_line(line, sizeof line, frame, t, wall_clock_ns());
    // One write and one flush: the line reaches the file whole.
    log_file.write(line, static_cast<std::streamsize>(n));
    log_file.flush();
}

LogFileCloser::~LogFileCloser() {
    // The receive thread writes lines while it holds the bus lock and is
    // never stopped. Taking the lock for good keeps it away from the stream
    // from here on, so the file ends with a whole line.
    if (bus_lock_ready) uv_mutex_lock(&listen_mutex);
    if (log_file.is_open()) log_file.close();
}
