#include "diagnostics.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdlib>
#include <cstdio>
#include <atomic>
#include <cstring>
#include <initializer_list>
#include <string>

#include "config.h"
#include "line_queue.h"
#include "line_ring.h"

// The simulated flavour's path is set when it is loaded (bridge.setLogPath):
// a prebuilt add-on cannot know the folder it will be installed in.
#ifndef QEL_LOG_PATH
#ifdef QEL_SIM
#define QEL_LOG_PATH ""
#else
#define QEL_LOG_PATH "/home/root/node_production_app/node_modules/corvalith/qel_cc_log.txt"
#endif
#endif

const char *log_path = QEL_LOG_PATH;

// Raspberry Pi OS has no /home/root (root's home is /root), so the fixed
// folder is often missing: QEL_LOG_PATH in the environment names another
// file. Kept in a copy, since the application may change its environment
// while the driver runs.
void log_path_from_environment() {
    static char chosen[PATH_MAX];
    const char *given = getenv("QEL_LOG_PATH");
    if (given == nullptr || given[0] == '\0') {
        log_path = QEL_LOG_PATH;
        return;
    }
    snprintf(chosen, sizeof chosen, "%s", given);
    log_path = chosen;
}

// open()'s logPath: an application that names its file in code need not
// rely on the environment a service manager gives it.
static char given_log_path[PATH_MAX];

int log_path_give(const char *path) {
    size_t len = strlen(path);
    if (len >= sizeof given_log_path) return 1;
    memcpy(given_log_path, path, len + 1);
    return 0;
}

const char *log_path_for_start() {
    if (given_log_path[0] != '\0') return given_log_path;
#ifndef QEL_SIM
    log_path_from_environment();
#endif
    return log_path;
}

// Reception times are 64-bit from end to end; on 32-bit targets the build
// selects the 64-bit time_t, so that dates after January 2038 convert.
static_assert(sizeof(time_t) == 8, "build with a 64-bit time_t (_TIME_BITS=64 on 32-bit targets)");

LogFileCloser log_file_closer;

// ---------------------------------------------------------------- outputs

namespace {

// How long the exit waits for both outputs together: a reader that stopped
// costs a single wait.
constexpr int EXIT_WAIT_MS = 1000;

// Ends a formatted text of `n` characters in `out` with a line feed.
size_t end_line(char *out, size_t cap, int n) {
    if (n < 0) return 0;
    size_t len = static_cast<size_t>(n) < cap - 2 ? static_cast<size_t>(n) : cap - 2;
    out[len] = '\n';
    return len + 1;
}

// One message of the catalogue, with its level and a line feed, into `out`.
__attribute__((format(printf, 3, 4))) size_t notice_line(char *out, size_t cap, const char *fmt, ...) {
    out[0] = console_level_of(fmt);
    va_list args;
    va_start(args, fmt);
    int n = vsnprintf(out + 1, cap - 2, fmt, args);
    va_end(args);
    return n < 0 ? 0 : end_line(out, cap, n + 1);
}

size_t log_drop_notice(char *out, size_t cap, uint64_t dropped) {
    return notice_line(out, cap, MSG_LOG_DROPPED, static_cast<unsigned long long>(dropped));
}

// The path of the open log, for the notices of its write errors.
char open_log_path[PATH_MAX];

size_t log_failing_notice(char *out, size_t cap, int err) {
    return notice_line(out, cap, MSG_LOG_OPEN_REASON, open_log_path, strerror(err));
}

size_t log_lost_notice(char *out, size_t cap, uint64_t lost, int err) {
    return notice_line(out, cap, MSG_LOG_LOST, static_cast<unsigned long long>(lost), strerror(err));
}

const LineNotices log_notices = {log_drop_notice, log_failing_notice, log_lost_notice};

// The driver threads' lines, on their way to the runtime's standard output
// stream (console_js.cc), and the lines of the JavaScript function under
// way, which go out as it returns.
char console_ring_text[64 * 1024];
LineRing console_ring(console_ring_text, sizeof console_ring_text);
char own_lines[64 * 1024];
size_t own_len = 0;
void (*console_wake)() = nullptr;

// A line longer than this is shortened: it has to fit the queue whatever
// else is waiting there.
constexpr size_t CONSOLE_LONGEST = sizeof console_ring_text / 4;

// Lost log lines are announced on the console: the file holds message
// lines only. The notices of the log's faults are said once each, so they
// have a small queue of their own, which standard output takes even while
// it drops the threads' other lines.
char log_ring[256 * 1024];
char log_batch[16 * 1024];
void console_notice(const char *text, size_t len);
LineQueue log_queue(-1, log_ring, sizeof log_ring, log_batch, sizeof log_batch, &log_notices, console_notice);
char notice_ring_text[4096];
LineRing notice_ring(notice_ring_text, sizeof notice_ring_text);

// Scopes open on this thread (ConsoleScope).
thread_local int console_scopes = 0;

// Inside a function's scope a line waits for the function's end; anywhere
// else it joins the threads' lines, and the first of a batch wakes the
// thread that hands them on.
std::atomic<uint64_t> lines_made{0};

void console_text(const char *text, size_t len) {
    lines_made.fetch_add(count_lines(text, len), std::memory_order_relaxed);
    if (console_scopes > 0 && own_len + len <= sizeof own_lines) {
        memcpy(own_lines + own_len, text, len);
        own_len += len;
        return;
    }
    if (console_ring.push(text, len) && console_wake != nullptr) console_wake();
}

void console_notice(const char *text, size_t len) {
    lines_made.fetch_add(count_lines(text, len), std::memory_order_relaxed);
    if (notice_ring.push(text, len) && console_wake != nullptr) console_wake();
}

}  // namespace

// ---------------------------------------------------------------- console

// A message is known by its format, the catalogue's text: the same pointer
// where the compiler merged the literals, else the same text.
static bool listed(const char *fmt, std::initializer_list<const char *> formats) {
    for (const char *format : formats) {
        if (format == fmt || strcmp(format, fmt) == 0) return true;
    }
    return false;
}

console_level console_level_of(const char *fmt) {
    if (listed(fmt, {QEL_DEBUG_MESSAGES})) return LEVEL_DEBUG;
    if (listed(fmt, {QEL_ERROR_MESSAGES})) return LEVEL_ERROR;
    if (listed(fmt, {QEL_WARN_MESSAGES})) return LEVEL_WARN;
    return LEVEL_INFO;
}

size_t console_strip_levels(char *text, size_t len, char *levels) {
    static const char letters[] = "?diwe";
    char level = 'i';
    size_t kept = 0;
    size_t lines = 0;
    bool line_start = true;
    for (size_t i = 0; i < len; i++) {
        char c = text[i];
        if (line_start && c >= LEVEL_DEBUG && c <= LEVEL_ERROR) {
            level = letters[static_cast<int>(c)];
            line_start = false;
            continue;
        }
        line_start = c == '\n';
        if (line_start && levels != nullptr) levels[lines++] = level;
        text[kept++] = c;
    }
    return kept;
}

// Cuts a line that would not fit the queue, with a mark that says so.
// The line begins with its level, which is no text of it.
static void shorten_line(std::string &line) {
    if (line.size() - 1 < CONSOLE_LONGEST) return;
    char mark[128];
    size_t keep = CONSOLE_LONGEST - sizeof mark;
    int n = snprintf(mark, sizeof mark, MSG_CONSOLE_LINE_CUT, static_cast<unsigned long long>(line.size() - 1 - keep));
    line.resize(keep + 1);
    if (n > 0) line.append(mark, static_cast<size_t>(n) < sizeof mark ? static_cast<size_t>(n) : sizeof mark - 1);
}

void console_line(const char *fmt, ...) {
    char text[1024];
    text[0] = console_level_of(fmt);
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    int len = vsnprintf(text + 1, sizeof text - 2, fmt, args);
    va_end(args);
    if (len >= 0 && static_cast<size_t>(len) < sizeof text - 2) {
        text[len + 1] = '\n';
        console_text(text, static_cast<size_t>(len) + 2);
    } else if (len >= 0) {
        // Only the exception details of a callback and a device path too
        // long to open get this long; both are printed on the main thread,
        // where allocating is harmless.
        std::string long_text(static_cast<size_t>(len) + 2, '\0');
        long_text[0] = text[0];
        vsnprintf(&long_text[1], long_text.size() - 1, fmt, again);
        long_text.pop_back();
        shorten_line(long_text);
        long_text += '\n';
        console_text(long_text.data(), long_text.size());
    }
    va_end(again);
}

void ConsoleLine::add(const char *fmt, ...) {
    if (len_ == 0) text_[len_++] = console_level_of(fmt);  // the first piece names the message
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
    if (len_ == 0) text_[len_++] = LEVEL_INFO;
    text_[len_] = '\n';
    console_text(text_, len_ + 1);
}

void console_set_wake(void (*wake)()) { console_wake = wake; }

bool console_scope_enter() { return console_scopes++ == 0; }

bool console_scope_leave() { return --console_scopes == 0; }

size_t console_take(char *out, size_t cap, uint64_t *dropped) { return console_ring.take(out, cap, dropped); }

bool console_idle() { return console_ring.idle() && notice_ring.idle(); }

size_t console_take_notices(char *out, size_t cap) {
    uint64_t dropped = 0;
    size_t len = notice_ring.take(out, cap - 256, &dropped);
    if (dropped > 0) len += console_dropped_line(out + len, 256, dropped);
    return len;
}

bool console_own_waiting() { return own_len > 0; }

size_t console_take_own(char *out, size_t cap) {
    size_t len = own_len < cap ? own_len : cap;
    memcpy(out, own_lines, len);
    own_len = 0;
    return len;
}

size_t console_own_last_line(char *out, size_t cap) {
    size_t end = own_len > 0 && own_lines[own_len - 1] == '\n' ? own_len - 1 : own_len;
    const void *before = memrchr(own_lines, '\n', end);
    size_t start = before == nullptr ? 0 : static_cast<size_t>(static_cast<const char *>(before) - own_lines) + 1;
    if (start < end && own_lines[start] >= LEVEL_DEBUG && own_lines[start] <= LEVEL_ERROR) start++;
    size_t len = end - start < cap - 1 ? end - start : cap - 1;
    memcpy(out, own_lines + start, len);
    out[len] = '\0';
    return len;
}

uint64_t console_lines_made() { return lines_made.load(std::memory_order_relaxed); }

size_t console_dropped_line(char *out, size_t cap, uint64_t lines) {
    return notice_line(out, cap, MSG_CONSOLE_DROPPED, static_cast<unsigned long long>(lines));
}

int console_exit_fd = STDOUT_FILENO;

bool console_flush_until(const struct timespec &deadline) {
    static char text[sizeof notice_ring_text + sizeof console_ring_text + 512];
    for (;;) {
        uint64_t dropped = 0;
        size_t len = console_take_notices(text, sizeof notice_ring_text + 256);
        len += console_take(text + len, sizeof text - len - 256, &dropped);
        if (dropped > 0) len += console_dropped_line(text + len, 256, dropped);
        if (len == 0) return true;
        if (!console_write_until(text, len, deadline)) return false;
    }
}

bool console_write_until(char *text, size_t len, const struct timespec &deadline) {
    len = console_strip_levels(text, len, nullptr);
    return console_exit_fd >= 0 && write_until(console_exit_fd, text, len, deadline);
}

void console_flush() { console_flush_until(deadline_in_ms(EXIT_WAIT_MS)); }

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

// Header lines 1 to 6, written at once: the file shows them as soon as
// start-up has opened it. A file system that is full already says so.
static void write_header(int fd, const char *path) {
    char text[512];
    int n = snprintf(text, sizeof text,
                     LOG_HEADER_TITLE "\n" LOG_HEADER_VERSION "\n" LOG_HEADER_I2C "\n" LOG_HEADER_CAN "\n" LOG_HEADER_HB
                                      "\n" LOG_HEADER_DEB "\n",
                     QEL_VERSION, i2c_delay, can_bus_delay, hb_delay, deb_delay);
    size_t len = n < 0 ? 0 : static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1;
    ssize_t written = write(fd, text, len);
    if (written < static_cast<ssize_t>(len)) {
        int err = written < 0 ? errno : ENOSPC;
        if (ftruncate(fd, 0) != 0) {
            // An empty file is what a failed header leaves at worst.
        }
        console_line(MSG_LOG_OPEN_REASON, path, strerror(err));
    }
}

static const char *open_failure_reason(const char *path, int err) {
    struct stat st;
    if (err == ELOOP && lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) return LOG_REASON_SYMLINK;
    // A FIFO without a reader, a device without its hardware, a socket.
    if (err == ENXIO) return LOG_REASON_NOT_REGULAR;
    return strerror(err);
}

// Opens the log emptied and for appending, so that a rotation that empties
// it (copytruncate) leaves no hole. Never through a symbolic link: root would
// empty whatever file it points to. Only a regular file: a FIFO or a device
// could block the opening and every write; the opening itself does not wait
// (O_NONBLOCK, cleared once the file is known to be regular). Not inherited
// by the application's child processes.
static int open_log_file(const char *path, const char **reason) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    if (fd < 0) {
        *reason = open_failure_reason(path, errno);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        *reason = LOG_REASON_NOT_REGULAR;
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

// A writer still in a write (a file system that hangs) ends only once the
// write returns: the runtime must not unload the module's code under it, so
// the module stays loaded for the rest of the process.
static void keep_module_loaded() {
    Dl_info self;
    if (dladdr(reinterpret_cast<void *>(&keep_module_loaded), &self) == 0 || self.dli_fname == nullptr) return;
    dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}

// Writes what the log takes until `deadline`, then closes it and ends the
// writer thread.
static void log_close(const struct timespec &deadline) {
    log_queue.flush_until(deadline);
    int fd = log_queue.detach(deadline);
    if (fd >= 0) close(fd);
    if (!log_queue.stop_writer(deadline)) keep_module_loaded();
}

void log_close_now() { log_close(deadline_in_ms(EXIT_WAIT_MS)); }

int log_open(const char *path) {
    // A repeated start reopens the file afresh.
    log_close(deadline_in_ms(EXIT_WAIT_MS));
    const char *reason = "";
    int fd = open_log_file(path, &reason);
    if (fd < 0) {
        console_line(MSG_LOG_OPEN_FAILED);
        console_line(MSG_LOG_OPEN_REASON, path, reason);
        return 1;
    }
    write_header(fd, path);
    snprintf(open_log_path, sizeof open_log_path, "%s", path);
    // Line 7 reaches the file with the first message line, or at the close.
    char date[128];
    size_t n = format_log_date_line(date, sizeof date, wall_clock_ns());
    log_queue.attach(fd, date, n);
    return 0;
}

bool log_is_open() { return log_queue.attached(); }

bool log_flush(int wait_ms) { return log_queue.flush(wait_ms); }

void log_message_line(const uint8_t *frame, uint64_t t) {
    char line[160];
    size_t n = format_log_line(line, sizeof line, frame, t, wall_clock_ns());
    log_queue.push(line, n);
}

LogFileCloser::~LogFileCloser() {
    // The file first: it takes its lines at once, where a stalled console
    // would use up the whole wait.
    struct timespec deadline = deadline_in_ms(EXIT_WAIT_MS);
    console_wake = nullptr;
    log_close(deadline);
    if (console_exit_fd >= 0) console_flush_until(deadline);
}
