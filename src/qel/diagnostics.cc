#include "diagnostics.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "config.h"
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

// Reception times are 64-bit from end to end; on 32-bit targets the build
// selects the 64-bit time_t, so that dates after January 2038 convert.
static_assert(sizeof(time_t) == 8, "build with a 64-bit time_t (_TIME_BITS=64 on 32-bit targets)");

LogFileCloser log_file_closer;

namespace {

// One wait for both outputs at the exit: a reader that stopped costs it once.
constexpr int EXIT_WAIT_MS = 1000;
// A longer line (only a callback's exception details get this long) is cut,
// with a mark that says so: it has to fit the ring whatever else waits there.
constexpr size_t CONSOLE_LONGEST = 16 * 1024;
constexpr size_t CUT_MARK_ROOM = 128;

char console_ring_text[64 * 1024];
LineRing console_ring(console_ring_text, sizeof console_ring_text);
// The lines of the driver function under way, on the JavaScript thread.
char own_lines[64 * 1024];
size_t own_len = 0;
thread_local int console_scopes = 0;
thread_local bool wakes_itself = false;
void (*console_wake)() = nullptr;
std::atomic<uint64_t> lines_made{0};
int exit_fd = STDOUT_FILENO;

void wake_console() {
    if (console_wake != nullptr) console_wake();
}

// A message is known by its format, the catalogue's text: the same pointer
// where the compiler merged the literals, else the same text.
bool listed(const char *fmt, std::initializer_list<const char *> formats) {
    for (const char *format : formats) {
        if (format == fmt || strcmp(format, fmt) == 0) return true;
    }
    return false;
}

char level_of(const char *fmt) {
    if (listed(fmt, {QEL_DEBUG_MESSAGES})) return 'd';
    if (listed(fmt, {QEL_ERROR_MESSAGES})) return 'e';
    return listed(fmt, {QEL_WARN_MESSAGES}) ? 'w' : 'i';
}

// The lines of `text`, each behind the level of `message`, and a line feed.
size_t leveled(char *out, const char *message, const char *text, size_t len) {
    char level = level_of(message);
    size_t n = 0;
    out[n++] = level;
    for (size_t i = 0; i < len; i++) {
        out[n++] = text[i];
        if (text[i] == '\n') out[n++] = level;
    }
    out[n++] = '\n';
    return n;
}

// Inside a driver function's scope a line waits for the function's end;
// anywhere else it joins the threads' lines, and the first of a batch
// wakes the JavaScript thread.
void queue_message(const char *message, const char *text, size_t len) {
    char line[2 * (CONSOLE_LONGEST + CUT_MARK_ROOM)];
    size_t n = leveled(line, message, text, len);
    lines_made.fetch_add(count_lines(line, n), std::memory_order_relaxed);
    if (console_scopes > 0 && own_len + n <= sizeof own_lines) {
        memcpy(own_lines + own_len, line, n);
        own_len += n;
    } else if (console_ring.push(line, n) && !wakes_itself) {
        wake_console();
    }
}

size_t clamp(int n, size_t cap) { return n < 0 ? 0 : static_cast<size_t>(n) < cap ? static_cast<size_t>(n) : cap - 1; }

// One message of the catalogue, with its level and a line feed, or nothing
// where it does not fit.
__attribute__((format(printf, 3, 4))) size_t notice(char *out, size_t cap, const char *fmt, ...) {
    char text[PATH_MAX + 256];
    va_list args;
    va_start(args, fmt);
    size_t len = clamp(vsnprintf(text, sizeof text, fmt, args), sizeof text);
    va_end(args);
    return 2 * len + 3 > cap ? 0 : leveled(out, fmt, text, len);
}

size_t take_log_notices(char *out, size_t cap);

}  // namespace

void console_line(const char *fmt, ...) {
    char text[CONSOLE_LONGEST + 1];
    va_list args;
    va_start(args, fmt);
    int n = vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    if (n < 0) return;
    size_t len = static_cast<size_t>(n);
    if (len >= CONSOLE_LONGEST) {
        size_t keep = CONSOLE_LONGEST - CUT_MARK_ROOM;
        unsigned long long cut = len - keep;
        len = keep + clamp(snprintf(text + keep, CUT_MARK_ROOM, MSG_CONSOLE_LINE_CUT, cut), CUT_MARK_ROOM);
    }
    queue_message(fmt, text, len);
}

void ConsoleLine::add(const char *fmt, ...) {
    if (message_ == nullptr) message_ = fmt;
    va_list args;
    va_start(args, fmt);
    len_ += clamp(vsnprintf(text_ + len_, sizeof text_ - len_, fmt, args), sizeof text_ - len_);
    va_end(args);
}

void ConsoleLine::print() { queue_message(message_ != nullptr ? message_ : "", text_, len_); }

size_t console_strip_levels(char *text, size_t len, char *levels) {
    size_t kept = 0;
    size_t lines = 0;
    for (size_t i = 0; i < len; i++) {
        bool line_start = i == 0 || text[i - 1] == '\n';
        if (line_start && levels != nullptr) levels[lines++] = text[i];
        if (!line_start) text[kept++] = text[i];
    }
    return kept;
}

void console_set_wake(void (*wake)()) { console_wake = wake; }

void console_thread_wakes_itself() { wakes_itself = true; }

bool console_scope_enter() { return console_scopes++ == 0; }

bool console_scope_leave() { return --console_scopes == 0; }

size_t console_take(char *out, size_t cap, bool own) {
    size_t len = 0;
    if (own) {
        len = console_scopes > 0 ? 0 : own_len < cap ? own_len : cap;
        memcpy(out, own_lines, len);
        own_len = console_scopes > 0 ? own_len : 0;
        return len + take_log_notices(out + len, cap - len);
    }
    for (;;) {
        uint64_t dropped = 0;
        size_t n = console_ring.take(out + len, cap - len - 256, &dropped);
        len += n;
        if (dropped > 0) len += console_dropped_line(out + len, 256, dropped);
        if ((n == 0 && dropped == 0) || cap - len < 512) return len;
    }
}

size_t console_dropped_line(char *out, size_t cap, uint64_t lines) {
    return notice(out, cap, MSG_CONSOLE_DROPPED, static_cast<unsigned long long>(lines));
}

size_t console_own_last_line(char *out, size_t cap) {
    size_t end = own_len > 0 ? own_len - 1 : 0;
    const void *before = memrchr(own_lines, '\n', end);
    size_t start = before == nullptr ? 0 : static_cast<size_t>(static_cast<const char *>(before) - own_lines) + 1;
    if (start < end) start++;  // the level
    size_t len = end - start < cap - 1 ? end - start : cap - 1;
    memcpy(out, own_lines + start, len);
    out[len] = '\0';
    return len;
}

uint64_t console_lines_made() { return lines_made.load(std::memory_order_relaxed); }

void console_exit_to(int fd) { exit_fd = fd; }

bool console_flush_until(const struct timespec &deadline) {
    static char text[CONSOLE_TAKE_MAX];
    for (;;) {
        size_t len = take_log_notices(text, sizeof text / 2);
        len = console_strip_levels(text, len + console_take(text + len, sizeof text - len, false), nullptr);
        if (len == 0) return true;
        if (exit_fd < 0 || write_until(exit_fd, text, len, deadline) < len) return false;
    }
}

void console_flush() { console_flush_until(deadline_in_ms(EXIT_WAIT_MS)); }

struct timespec deadline_in_ms(int ms) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    long ns = t.tv_nsec + static_cast<long>(ms % 1000) * 1000000L;
    t.tv_sec += ms / 1000 + ns / 1000000000L;
    t.tv_nsec = ns % 1000000000L;
    return t;
}

int ms_until(const struct timespec &deadline) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long ms = (deadline.tv_sec - now.tv_sec) * 1000L + (deadline.tv_nsec - now.tv_nsec) / 1000000L;
    return ms > 0 ? static_cast<int>(ms) : 0;
}

size_t write_until(int fd, const char *text, size_t len, const struct timespec &deadline, bool finish_lines, int *err,
                   ssize_t (*write_fn)(int, const void *, size_t)) {
    size_t done = 0;
    while (done < len) {
        ssize_t n = write_fn(fd, text + done, len - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        int why = n < 0 ? errno : EIO;
        if (why == EINTR) continue;
        bool wait = why == EAGAIN && !(finish_lines && (done == 0 || text[done - 1] == '\n'));
        struct pollfd room = {fd, POLLOUT, 0};
        int ms = ms_until(deadline);
        if (!wait || ms == 0 || poll(&room, 1, ms) <= 0) {
            if (err != nullptr) *err = why;
            break;
        }
    }
    return done;
}

namespace {
const char *default_log_path = QEL_LOG_PATH;
// open()'s logPath: an application that names its file in code need not
// rely on the environment a service manager gives it.
char given_log_path[PATH_MAX];
}  // namespace

void log_path_set(const char *path) { default_log_path = path; }

const char *log_path_default() { return default_log_path; }

int log_path_give(const char *path) {
    size_t len = strlen(path);
    if (len >= sizeof given_log_path) return 1;
    memcpy(given_log_path, path, len + 1);
    return 0;
}

// Raspberry Pi OS has no /home/root (root's home is /root), so the fixed
// folder is often missing: QEL_LOG_PATH in the environment names another.
const char *log_path_for_start() {
    if (given_log_path[0] != '\0') return given_log_path;
#ifndef QEL_SIM
    const char *named = getenv("QEL_LOG_PATH");
    if (named != nullptr && named[0] != '\0') return named;
#endif
    return default_log_path;
}

int64_t wall_clock_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

size_t format_log_date_line(char *out, size_t cap, int64_t now_ns) {
    time_t seconds = static_cast<time_t>(now_ns / 1000000000);
    char text[64];  // ctime_r: the layout of ctime, without its shared buffer
    return clamp(snprintf(out, cap, LOG_HEADER_DATE "%s", ctime_r(&seconds, text) != nullptr ? text : "\n"), cap);
}

size_t format_log_line(char *out, size_t cap, const uint8_t *frame, uint64_t t, int64_t now_ns) {
    time_t seconds = static_cast<time_t>(now_ns / 1000000000);
    struct tm utc;
    gmtime_r(&seconds, &utc);
    size_t len = clamp(snprintf(out, cap, "%04d-%02d-%02d %02d:%02d:%02d.%03d: MsgID = 0x%" PRIx32 ", data = ",
                                utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                                static_cast<int>((now_ns / 1000000) % 1000), frame[2] * 256u + frame[3]),
                       cap);
    // A frame carries 8 data bytes, whatever its length code claims.
    for (unsigned i = 0; i < frame[6] && i < 8; i++) {
        len += clamp(snprintf(out + len, cap - len, "%02x, ", frame[7 + i]), cap - len);
    }
    return len + clamp(snprintf(out + len, cap - len, "timestamp = %" PRIu64 "\n", t), cap - len);
}

// The log's writer: one thread of its own that holds no other lock while
// it writes, so that a slow or full file system costs log lines, never a
// driver thread's time. Started by log_open, joined by the close.
namespace {

char log_ring_text[256 * 1024];
LineRing log_ring(log_ring_text, sizeof log_ring_text);
pthread_mutex_t log_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t log_work = PTHREAD_COND_INITIALIZER;  // the writer waits for lines
pthread_cond_t log_idle = PTHREAD_COND_INITIALIZER;  // flushes wait for the writer
int log_fd = -1;
bool writer_running = false;
bool writer_stopping = false;
bool writer_busy = false;
pthread_t writer;
// Header line 7, which reaches the file with the first message line.
char date_line[128];
size_t date_len = 0;
ssize_t (*log_write)(int, const void *, size_t) = write;

// The file's faults are counts that the console's taker turns into lines,
// never lines queued in the console's ring: however long the console
// waits, none is lost. A failure is told once, the lines it lost once a
// write succeeds again.
pthread_mutex_t faults_lock = PTHREAD_MUTEX_INITIALIZER;
char open_log_path[PATH_MAX];
bool failing = false;
bool failure_untold = false;
int failed_with = 0;
uint64_t lost = 0;
uint64_t dropped_untold = 0;  // lines the full log ring dropped

void log_outcome(uint64_t dropped, uint64_t lines_lost, int err) {
    pthread_mutex_lock(&faults_lock);
    bool tell = dropped > 0 || (err != 0) != failing;
    dropped_untold += dropped;
    lost += lines_lost;
    failure_untold = failure_untold || (err != 0 && !failing);
    failed_with = err != 0 ? err : failed_with;
    failing = err != 0;
    pthread_mutex_unlock(&faults_lock);
    if (tell) wake_console();
}

size_t take_log_notices(char *out, size_t cap) {
    size_t len = 0;
    pthread_mutex_lock(&faults_lock);
    if (failure_untold) len += notice(out + len, cap - len, MSG_LOG_OPEN_REASON, open_log_path, strerror(failed_with));
    if (!failing && lost > 0) {
        len += notice(out + len, cap - len, MSG_LOG_LOST, static_cast<unsigned long long>(lost), strerror(failed_with));
        lost = 0;
    }
    if (dropped_untold > 0) len += notice(out + len, cap - len, MSG_LOG_DROPPED, static_cast<unsigned long long>(dropped_untold));
    dropped_untold = 0;
    failure_untold = false;
    pthread_mutex_unlock(&faults_lock);
    return len;
}

// A line that a failed write cut short (a full tmpfs takes the part that
// fits its last page) is cut back off the file, so that the next line
// begins a line of its own.
void write_lines(int fd, const char *text, size_t len, uint64_t dropped) {
    int err = 0;
    size_t done = write_until(fd, text, len, deadline_in_ms(0), false, &err, log_write);
    const void *last = memrchr(text, '\n', done);
    size_t partial = last == nullptr ? done : done - static_cast<size_t>(static_cast<const char *>(last) - text + 1);
    off_t end = partial > 0 ? lseek(fd, 0, SEEK_END) : -1;
    // Shrinking a file needs no space; should it fail anyway, the next line is glued on.
    if (end >= static_cast<off_t>(partial) && ftruncate(fd, end - static_cast<off_t>(partial)) != 0) {}
    log_outcome(dropped, count_lines(text + done - partial, len - done + partial), done < len ? err : 0);
}

void *run_writer(void *) {
    // Signals are for the runtime's threads; a write here is never cut short.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    static char batch[sizeof date_line + 16 * 1024];
    pthread_mutex_lock(&log_lock);
    for (;;) {
        uint64_t dropped = 0;
        size_t len = 0;
        while (!writer_stopping && (len = log_ring.take(batch + date_len, sizeof batch - sizeof date_line, &dropped)) == 0 &&
               dropped == 0) {
            pthread_cond_broadcast(&log_idle);
            pthread_cond_wait(&log_work, &log_lock);
        }
        if (writer_stopping) break;
        memcpy(batch, date_line, date_len);
        len += len > 0 ? date_len : 0;
        date_len = len > 0 ? 0 : date_len;
        writer_busy = true;
        int fd = log_fd;
        pthread_mutex_unlock(&log_lock);
        write_lines(fd, batch, len, dropped);
        pthread_mutex_lock(&log_lock);
        writer_busy = false;
    }
    writer_busy = false;
    pthread_cond_broadcast(&log_idle);
    pthread_mutex_unlock(&log_lock);
    return nullptr;
}

bool wait_idle(const struct timespec &deadline) {
    pthread_mutex_lock(&log_lock);
    bool idle = false;
    while (!(idle = !writer_busy && log_ring.idle()) && writer_running) {
        if (pthread_cond_clockwait(&log_idle, &log_lock, CLOCK_MONOTONIC, &deadline) == ETIMEDOUT) break;
    }
    pthread_mutex_unlock(&log_lock);
    return idle || !writer_running;
}

// A writer still in a write (a file system that hangs) ends only once the
// write returns: the runtime must not unload the module's code under it, so
// the module stays loaded for the rest of the process.
void keep_module_loaded() {
    Dl_info self;
    if (dladdr(reinterpret_cast<void *>(&keep_module_loaded), &self) == 0 || self.dli_fname == nullptr) return;
    dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}

// Writes what the log takes until `deadline`, then ends the writer and
// closes the file; lines still queued then are dropped. A writer stuck in
// a write keeps the descriptor, which is left open.
void log_close(const struct timespec &deadline) {
    wait_idle(deadline);
    pthread_mutex_lock(&log_lock);
    bool running = writer_running;
    writer_stopping = true;
    pthread_cond_broadcast(&log_work);
    pthread_mutex_unlock(&log_lock);
    // The join takes a wall-clock deadline; sanitizers know this one.
    struct timespec wall;
    clock_gettime(CLOCK_REALTIME, &wall);
    wall.tv_sec += ms_until(deadline) / 1000 + 1;
    if (running && pthread_timedjoin_np(writer, nullptr, &wall) != 0) return keep_module_loaded();
    uint64_t dropped = 0;
    static char rest[4096];
    pthread_mutex_lock(&log_lock);
    while (log_ring.take(rest, sizeof rest, &dropped) > 0 || dropped > 0) {
    }
    int fd = log_fd;
    size_t pending = date_len;
    log_fd = -1;
    date_len = 0;
    writer_running = writer_stopping = false;
    pthread_mutex_unlock(&log_lock);
    if (fd >= 0) write_until(fd, date_line, pending, deadline);
    if (fd >= 0) close(fd);
}

// Header lines 1 to 6, written at once: the file shows them as soon as
// start-up has opened it. A file system that is full already says so.
void write_header(int fd, const char *path) {
    char text[512];
    size_t len = clamp(snprintf(text, sizeof text,
                                LOG_HEADER_TITLE "\n" LOG_HEADER_VERSION "\n" LOG_HEADER_I2C "\n" LOG_HEADER_CAN
                                                 "\n" LOG_HEADER_HB "\n" LOG_HEADER_DEB "\n",
                                QEL_VERSION, i2c_delay, can_bus_delay, hb_delay, deb_delay),
                       sizeof text);
    ssize_t written = write(fd, text, len);
    if (written == static_cast<ssize_t>(len)) return;
    int err = written < 0 ? errno : ENOSPC;
    if (ftruncate(fd, 0) != 0) {}  // an empty file is what a failed header leaves at worst
    console_line(MSG_LOG_OPEN_REASON, path, strerror(err));
}

// Opens the log emptied and for appending, so that a rotation that empties
// it (copytruncate) leaves no hole. Never through a symbolic link: root would
// empty whatever file it points to. Only a regular file: a FIFO or a device
// could block the opening and every write; the opening itself does not wait
// (O_NONBLOCK, cleared once the file is known to be regular). Not inherited
// by the application's child processes. Returns -1 with the reason.
int open_log_file(const char *path, const char **reason) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    struct stat st;
    if (fd < 0) {
        int err = errno;
        *reason = err == ELOOP && lstat(path, &st) == 0 && S_ISLNK(st.st_mode) ? LOG_REASON_SYMLINK
                  : err == ENXIO ? LOG_REASON_NOT_REGULAR  // a FIFO without a reader, a device, a socket
                                 : strerror(err);
        return -1;
    }
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        *reason = LOG_REASON_NOT_REGULAR;
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

}  // namespace

int log_open(const char *path) {
    // A repeated start reopens the file afresh; a writer that is still in a
    // write of the earlier file holds it up.
    log_close(deadline_in_ms(EXIT_WAIT_MS));
    const char *reason = strerror(EBUSY);
    int fd = writer_running ? -1 : open_log_file(path, &reason);
    if (fd < 0) {
        console_line(MSG_LOG_OPEN_FAILED);
        console_line(MSG_LOG_OPEN_REASON, path, reason);
        return 1;
    }
    write_header(fd, path);
    pthread_mutex_lock(&faults_lock);
    snprintf(open_log_path, sizeof open_log_path, "%s", path);
    failing = false;
    pthread_mutex_unlock(&faults_lock);
    pthread_mutex_lock(&log_lock);
    log_fd = fd;
    date_len = format_log_date_line(date_line, sizeof date_line, wall_clock_ns());
    // Creating a thread allocates, which the driver threads never do: it is
    // started here, on the main thread.
    writer_running = pthread_create(&writer, nullptr, run_writer, nullptr) == 0;
    pthread_mutex_unlock(&log_lock);
    return 0;
}

void log_close_now() { log_close(deadline_in_ms(EXIT_WAIT_MS)); }

bool log_is_open() {
    pthread_mutex_lock(&log_lock);
    bool open = log_fd >= 0 && writer_running;
    pthread_mutex_unlock(&log_lock);
    return open;
}

bool log_flush(int wait_ms) { return wait_idle(deadline_in_ms(wait_ms)); }

void log_set_writer(ssize_t (*write_fn)(int, const void *, size_t)) { log_write = write_fn != nullptr ? write_fn : write; }

// The lock is never held across a write: the receive thread waits for no
// file system here.
void log_message_line(const uint8_t *frame, uint64_t t) {
    char line[160];
    size_t n = format_log_line(line, sizeof line, frame, t, wall_clock_ns());
    pthread_mutex_lock(&log_lock);
    if (log_fd >= 0 && writer_running && !writer_stopping && log_ring.push(line, n)) pthread_cond_signal(&log_work);
    pthread_mutex_unlock(&log_lock);
}

LogFileCloser::~LogFileCloser() {
    // The file first: it takes its lines at once, where a stalled console
    // would use up the whole wait.
    struct timespec deadline = deadline_in_ms(EXIT_WAIT_MS);
    console_wake = nullptr;
    log_close(deadline);
    console_flush_until(deadline);
}
