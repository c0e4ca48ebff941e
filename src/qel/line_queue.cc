#include "line_queue.h"

#include "line_ring.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Where the line that `done` bytes into `text` ends in cut: the length of
// that line's written part, 0 when the write ended on a line feed.
size_t partial_line(const char *text, size_t done) {
    const void *last = memrchr(text, '\n', done);
    return last == nullptr ? done : done - (static_cast<const char *>(last) - text + 1);
}

line_write_fn line_queue_write = write;

}  // namespace

void line_queue_set_writer(line_write_fn fn) { line_queue_write = fn != nullptr ? fn : write; }

int ms_until(const struct timespec &deadline) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long ms = (deadline.tv_sec - now.tv_sec) * 1000L + (deadline.tv_nsec - now.tv_nsec) / 1000000L;
    return ms > 0 ? static_cast<int>(ms) : 0;
}

bool write_until(int fd, const char *text, size_t len, const struct timespec &deadline) {
    while (len > 0) {
        ssize_t n = write(fd, text, len);
        if (n > 0) {
            text += n;
            len -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (!(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) return false;
        struct pollfd room = {fd, POLLOUT, 0};
        int ms = ms_until(deadline);
        if (ms == 0 || poll(&room, 1, ms) <= 0) return false;
    }
    return true;
}

struct timespec deadline_in_ms(int ms) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += ms / 1000;
    t.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec++;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

// ------------------------------------------------------------- queuing

void LineQueue::copy_in(const char *text, size_t len) {
    ring_put(ring_, capacity_, accepted_, text, len);
    accepted_ += len;
}

void LineQueue::push(const char *text, size_t len, bool wake) {
    char notice[160];
    pthread_mutex_lock(&lock_);
    if (fd_ < 0) {
        pthread_mutex_unlock(&lock_);
        return;
    }
    // Lines dropped before go on record right where they are missing, and
    // only together with the line that follows them.
    size_t notice_len = dropped_ > 0 && room() >= len ? notice_->dropped(notice, sizeof notice, dropped_) : 0;
    if (room() < len) {
        dropped_++;
        pthread_mutex_unlock(&lock_);
        return;
    }
    copy_in(text, len);
    dropped_ = 0;
    wake = wake && writer_waiting_;
    pthread_mutex_unlock(&lock_);
    if (wake) pthread_cond_signal(&work_);
    report(notice, notice_len);
}

// Lines in the ring between two byte counts.
uint64_t LineQueue::ring_lines(uint64_t from, uint64_t to) const {
    size_t at = static_cast<size_t>(from % capacity_);
    size_t len = static_cast<size_t>(to - from);
    size_t first = len < capacity_ - at ? len : capacity_ - at;
    return count_lines(ring_ + at, first) + count_lines(ring_, len - first);
}

// ------------------------------------------------------------- writing

void *LineQueue::writer_entry(void *self) {
    // Signals are for the runtime's threads; a write here is never cut short.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    static_cast<LineQueue *>(self)->run_writer();
    return nullptr;
}

// Started by the first flush or attach, on the main thread: creating a
// thread allocates, which the driver threads never do. The caller holds the
// lock.
void LineQueue::start_writer() {
    // A writer that a stop left in a slow write carries on once it returns.
    writer_stopping_ = false;
    if (writer_started_) return;
    writer_started_ = pthread_create(&writer_, nullptr, writer_entry, this) == 0;
}

// Copies the preamble, if one is pending, and as many whole lines as fit
// into the batch and, in a regular file, before the end of the page; when
// the first line crosses it, that line alone. A line longer than the batch
// goes in pieces. The caller holds the lock.
size_t LineQueue::take_batch() {
    size_t len = preamble_len_;
    memcpy(batch_, preamble_, preamble_len_);
    preamble_len_ = 0;
    size_t want = static_cast<size_t>(accepted_ - taken_);
    if (want > batch_capacity_ - len) want = batch_capacity_ - len;
    ring_get(ring_, capacity_, taken_, batch_ + len, want);
    size_t page_room = page_ > 0 ? static_cast<size_t>(page_ - file_end_ % page_) : len + want;
    size_t within = page_room > len ? page_room - len : 0;
    const char *lines = batch_ + len;
    const void *last = memrchr(lines, '\n', within < want ? within : want);
    if (last == nullptr) last = memchr(lines, '\n', want);
    if (last != nullptr) want = static_cast<size_t>(static_cast<const char *>(last) - lines) + 1;
    taken_ += want;
    batch_len_ = len + want;
    batch_done_ = 0;
    batch_upto_ = taken_;
    return batch_len_;
}

void LineQueue::finish_batch() {
    batch_len_ = batch_done_ = 0;
    if (finished_ < batch_upto_) finished_ = batch_upto_;
}

// Lines a failed write did not get out: the part of a line already in a
// regular file is cut back off it, so that the next line starts a line of
// its own. Runs while the batch is still the writer's (`writing_`).
void LineQueue::fail_batch(int fd, int err) {
    size_t partial = partial_line(batch_, batch_done_);
    off_t end = -1;
    if (partial > 0 && page_ > 0) {
        end = lseek(fd, 0, SEEK_END) - static_cast<off_t>(partial);
        // Shrinking a file needs no space; should it fail anyway, the next
        // line is glued on, as the write left it.
        if (end < 0 || ftruncate(fd, end) != 0) end = -1;
    }
    pthread_mutex_lock(&lock_);
    if (end >= 0) file_end_ = static_cast<uint64_t>(end);
    lost_ += count_lines(batch_ + batch_done_ - partial, batch_len_ - (batch_done_ - partial));
    lost_err_ = err;
    failing_ = true;
    pthread_mutex_unlock(&lock_);
}

// One write(2) of what is left of the batch. The caller holds the lock,
// which is released during the write.
LineQueue::wrote LineQueue::write_batch() {
    int fd = fd_;
    const char *from = batch_ + batch_done_;
    size_t len = batch_len_ - batch_done_;
    writing_ = true;
    pthread_mutex_unlock(&lock_);
    ssize_t n = line_queue_write(fd, from, len);
    int err = errno;
    off_t end = n > 0 && page_ > 0 ? lseek(fd, 0, SEEK_CUR) : -1;
    bool failed = n <= 0 && !(n < 0 && (err == EAGAIN || err == EWOULDBLOCK || err == EINTR));
    if (failed) fail_batch(fd, n < 0 ? err : EIO);
    pthread_mutex_lock(&lock_);
    writing_ = false;
    // A rotation that emptied the file moves its end.
    if (end >= 0) file_end_ = static_cast<uint64_t>(end);
    wrote result = wrote::no_room;
    if (failed) {
        finish_batch();
        result = wrote::failed;
    } else if (n > 0) {
        batch_done_ += static_cast<size_t>(n);
        if (batch_done_ == batch_len_) finish_batch();
        // A full tmpfs takes the part of a line that fits its last page and
        // refuses the rest, which is cut back off: the file takes lines
        // again only once a write ends one.
        if (memchr(from, '\n', static_cast<size_t>(n)) != nullptr) failing_ = false;
        result = wrote::all_or_part;
    }
    pthread_cond_broadcast(&progress_);
    return result;
}

// The notices of failed writes, for the other queue: the first failure at
// once, the count of lost lines once writes succeed again. The caller holds
// the lock.
size_t LineQueue::take_error_notices(char *out, size_t cap) {
    if (notice_->failing == nullptr) return 0;
    if (failing_ && !failing_told_) {
        failing_told_ = true;
        return notice_->failing(out, cap, lost_err_);
    }
    if (!failing_ && lost_ > 0) {
        size_t len = notice_->lost(out, cap, lost_, lost_err_);
        lost_ = 0;
        failing_told_ = false;
        return len;
    }
    return 0;
}

void LineQueue::report(const char *text, size_t len) {
    if (len > 0 && report_ != nullptr) report_(text, len);
}

void LineQueue::run_writer() {
    char notice[NOTICE_ROOM];
    pthread_mutex_lock(&lock_);
    for (;;) {
        while (!writer_stopping_ && (fd_ < 0 || writing_ || (batch_len_ == 0 && taken_ == accepted_))) {
            writer_waiting_ = true;
            pthread_cond_wait(&work_, &lock_);
            writer_waiting_ = false;
        }
        if (writer_stopping_) break;
        if (batch_len_ == 0) take_batch();
        int fd = fd_;
        wrote result = write_batch();
        size_t told = take_error_notices(notice, sizeof notice);
        pthread_mutex_unlock(&lock_);
        report(notice, told);
        if (result == wrote::no_room) {
            // Nothing went out: look again shortly; a flush may take the
            // batch meanwhile.
            struct pollfd room = {fd, POLLOUT, 0};
            poll(&room, 1, 10);
        }
        pthread_mutex_lock(&lock_);
    }
    pthread_mutex_unlock(&lock_);
}

// ------------------------------------------------------------- waiting

// Waits for the writer to get on; false once `deadline` has passed. The
// caller holds the lock.
bool LineQueue::wait_progress(const struct timespec &deadline) {
    return pthread_cond_clockwait(&progress_, &lock_, CLOCK_MONOTONIC, &deadline) != ETIMEDOUT;
}

// Writes on the calling thread while nothing else is being written and the
// output has room, so that it does not wait. The caller holds the lock.
// The notices its writes give rise to are told as the writer tells its own,
// into `notice` (`*told` bytes so far).
void LineQueue::write_now(uint64_t target, char *notice, size_t cap, size_t *told) {
    while (finished_ < target && !writing_ && fd_ >= 0) {
        if (batch_len_ == 0 && take_batch() == 0) break;
        struct pollfd room = {fd_, POLLOUT, 0};
        if (poll(&room, 1, 0) != 1 || (room.revents & POLLOUT) == 0) break;
        wrote result = write_batch();
        if (cap - *told >= NOTICE_ROOM) *told += take_error_notices(notice + *told, NOTICE_ROOM);
        if (result != wrote::all_or_part) break;
    }
    if (writer_waiting_ && (batch_len_ > 0 || taken_ < accepted_)) pthread_cond_signal(&work_);
}

bool LineQueue::flush_until(const struct timespec &deadline) {
    char notice[4 * NOTICE_ROOM];
    size_t told = 0;
    pthread_mutex_lock(&lock_);
    uint64_t target = accepted_;
    if (finished_ < target) start_writer();
    if (flush_target_ < target) flush_target_ = target;
    write_now(target, notice, sizeof notice, &told);
    bool known_stalled = stalled_ && finished_ == stalled_at_;
    while (!known_stalled && finished_ < target) {
        if (!wait_progress(deadline)) {
            stalled_ = true;
            stalled_at_ = finished_;
            break;
        }
    }
    bool done = finished_ >= target;
    if (done) stalled_ = false;
    pthread_mutex_unlock(&lock_);
    report(notice, told);
    return done;
}

bool LineQueue::flush(int wait_ms) { return flush_until(deadline_in_ms(wait_ms)); }

// ------------------------------------------------------------- output

void LineQueue::attach(int fd, const char *preamble, size_t len) {
    struct stat st;
    bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    off_t end = regular ? lseek(fd, 0, SEEK_END) : -1;
    pthread_mutex_lock(&lock_);
    fd_ = fd;
    page_ = end >= 0 ? static_cast<uint64_t>(sysconf(_SC_PAGESIZE)) : 0;
    file_end_ = end >= 0 ? static_cast<uint64_t>(end) : 0;
    if (len > sizeof preamble_) len = sizeof preamble_;
    memcpy(preamble_, preamble, len);
    preamble_len_ = len;
    stalled_ = false;
    failing_ = failing_told_ = false;
    lost_ = 0;
    start_writer();
    pthread_mutex_unlock(&lock_);
}

int LineQueue::detach(const struct timespec &deadline) {
    char preamble[sizeof preamble_];
    char notice[NOTICE_ROOM];
    pthread_mutex_lock(&lock_);
    while (writing_ && wait_progress(deadline)) {
    }
    int fd = writing_ ? -1 : fd_;
    fd_ = -1;
    if (!writing_) batch_len_ = batch_done_ = 0;
    taken_ = finished_ = accepted_;
    dropped_ = 0;
    size_t len = preamble_len_;
    memcpy(preamble, preamble_, len);
    preamble_len_ = 0;
    // Lines lost to write errors are told at the close at the latest.
    failing_ = false;
    size_t told = take_error_notices(notice, sizeof notice);
    pthread_cond_broadcast(&progress_);
    pthread_mutex_unlock(&lock_);
    report(notice, told);
    if (fd >= 0) write_until(fd, preamble, len, deadline);
    return fd;
}

bool LineQueue::stop_writer(const struct timespec &deadline) {
    pthread_mutex_lock(&lock_);
    if (!writer_started_) {
        pthread_mutex_unlock(&lock_);
        return true;
    }
    writer_stopping_ = true;
    pthread_cond_broadcast(&work_);
    pthread_mutex_unlock(&lock_);
    // The join takes a wall-clock deadline; sanitizers know this one.
    struct timespec wall;
    clock_gettime(CLOCK_REALTIME, &wall);
    int ms = ms_until(deadline);
    wall.tv_sec += ms / 1000;
    wall.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (wall.tv_nsec >= 1000000000L) {
        wall.tv_sec++;
        wall.tv_nsec -= 1000000000L;
    }
    if (pthread_timedjoin_np(writer_, nullptr, &wall) != 0) return false;
    pthread_mutex_lock(&lock_);
    writer_started_ = writer_stopping_ = false;
    pthread_mutex_unlock(&lock_);
    return true;
}

bool LineQueue::attached() {
    pthread_mutex_lock(&lock_);
    bool yes = fd_ >= 0;
    pthread_mutex_unlock(&lock_);
    return yes;
}
