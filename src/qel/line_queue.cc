#include "line_queue.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Writes all of `len` bytes, waiting for room as long as it takes; only for
// the preamble at the close, which no one waits for. A closed or broken
// output loses it.
void write_all(int fd, const char *text, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, text, len);
        if (n > 0) {
            text += n;
            len -= static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            struct pollfd room = {fd, POLLOUT, 0};
            poll(&room, 1, -1);
        } else if (!(n < 0 && errno == EINTR)) {
            return;
        }
    }
}

// How long a settle waits for a write under way that the output has room
// for.
constexpr int WRITE_END_WAIT_MS = 20;

uint64_t count_lines(const char *text, size_t len) {
    uint64_t lines = 0;
    for (const char *end = text + len; (text = static_cast<const char *>(memchr(text, '\n', end - text))); text++) lines++;
    return lines;
}

// Where the line that `done` bytes into `text` ends in cut: the length of
// that line's written part, 0 when the write ended on a line feed.
size_t partial_line(const char *text, size_t done) {
    const void *last = memrchr(text, '\n', done);
    return last == nullptr ? done : done - (static_cast<const char *>(last) - text + 1);
}

}  // namespace

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
    size_t at = static_cast<size_t>(accepted_ % capacity_);
    size_t first = len < capacity_ - at ? len : capacity_ - at;
    memcpy(ring_ + at, text, first);
    memcpy(ring_, text + first, len - first);
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
    size_t notice_len = dropped_ > 0 ? notice_->dropped(notice, sizeof notice, dropped_) : 0;
    size_t here = notices_ == nullptr ? notice_len : 0;
    if (room() < here + len) {
        dropped_++;
        pthread_mutex_unlock(&lock_);
        return;
    }
    copy_in(notice, here);
    copy_in(text, len);
    dropped_ = 0;
    wake = wake && writer_waiting_;
    pthread_mutex_unlock(&lock_);
    if (wake) pthread_cond_signal(&work_);
    if (notice_len > here) notices_->push(notice, notice_len);
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
    if (writer_started_) return;
    struct stat st;
    int size = fstat(fd_, &st) == 0 && S_ISFIFO(st.st_mode) ? fcntl(fd_, F_GETPIPE_SZ) : -1;
    pipe_size_ = size > 0 ? static_cast<size_t>(size) : 0;
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
    size_t at = static_cast<size_t>(taken_ % capacity_);
    size_t first = want < capacity_ - at ? want : capacity_ - at;
    memcpy(batch_ + len, ring_ + at, first);
    memcpy(batch_ + len + first, ring_, want - first);
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

// The driver's lines take at most half of a pipe, so that a reader who
// falls behind leaves room for the application's own writes; the lines a
// flush waits for are not held back.
bool LineQueue::room_for_threads() {
    if (pipe_size_ == 0 || finished_ < flush_target_) return true;
    int queued = 0;
    if (ioctl(fd_, FIONREAD, &queued) != 0 || queued <= 0) return true;
    return static_cast<size_t>(queued) + (batch_len_ - batch_done_) <= pipe_size_ / 2;
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
    ssize_t n = write(fd, from, len);
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
        failing_ = false;
        result = wrote::all_or_part;
    }
    pthread_cond_broadcast(&progress_);
    return result;
}

// The notices of failed writes, for the other queue: the first failure at
// once, the count of lost lines once writes succeed again. The caller holds
// the lock.
size_t LineQueue::take_error_notices(char *out, size_t cap) {
    if (notices_ == nullptr || notice_->failing == nullptr) return 0;
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
    if (len > 0) notices_->push(text, len);
}

void LineQueue::run_writer() {
    char notice[256];
    pthread_mutex_lock(&lock_);
    for (;;) {
        while (fd_ < 0 || writing_ || (batch_len_ == 0 && taken_ == accepted_)) {
            writer_waiting_ = true;
            pthread_cond_wait(&work_, &lock_);
            writer_waiting_ = false;
        }
        if (batch_len_ == 0) take_batch();
        bool ours = room_for_threads();
        int fd = fd_;
        wrote result = ours ? write_batch() : wrote::no_room;
        size_t told = take_error_notices(notice, sizeof notice);
        pthread_mutex_unlock(&lock_);
        report(notice, told);
        if (result == wrote::no_room) {
            // The reader is behind: look again shortly (the pipe has room,
            // but not in the driver's half of it); a flush or a settle may
            // take the batch meanwhile.
            struct pollfd room = {ours ? fd : -1, POLLOUT, 0};
            poll(&room, 1, 10);
        }
        pthread_mutex_lock(&lock_);
    }
}

// ------------------------------------------------------------- waiting

// Waits for the writer to get on; false once `deadline` has passed. The
// caller holds the lock.
bool LineQueue::wait_progress(const struct timespec &deadline) {
    return pthread_cond_clockwait(&progress_, &lock_, CLOCK_MONOTONIC, &deadline) != ETIMEDOUT;
}

// Writes on the calling thread while nothing else is being written and the
// output has room, so that it does not wait (a pipe with room takes up to
// PIPE_BUF bytes whole); with `threads_only`, only within the driver's half
// of a pipe. The caller holds the lock.
void LineQueue::write_now(uint64_t target, bool threads_only) {
    while (finished_ < target && !writing_ && fd_ >= 0) {
        if (batch_len_ == 0 && take_batch() == 0) break;
        if (threads_only && !room_for_threads()) break;
        struct pollfd room = {fd_, POLLOUT, 0};
        if (poll(&room, 1, 0) != 1 || (room.revents & POLLOUT) == 0) break;
        if (write_batch() != wrote::all_or_part) break;
    }
    if (writer_waiting_ && (batch_len_ > 0 || taken_ < accepted_)) pthread_cond_signal(&work_);
}

// Drops what is queued and not being written, counted; a line that a write
// left half done is finished first. The caller holds the lock.
void LineQueue::drop_backlog() {
    if (batch_len_ > 0 && !writing_) {
        size_t keep = batch_done_;
        if (partial_line(batch_, keep) > 0) {
            const void *end = memchr(batch_ + keep, '\n', batch_len_ - keep);
            keep = end == nullptr ? batch_len_ : static_cast<size_t>(static_cast<const char *>(end) - batch_) + 1;
        }
        dropped_ += count_lines(batch_ + keep, batch_len_ - keep);
        batch_len_ = keep;
        if (batch_done_ == batch_len_) finish_batch();
    }
    dropped_ += ring_lines(taken_, accepted_);
    taken_ = accepted_;
    if (batch_len_ == 0) {
        finished_ = accepted_;
    } else {
        batch_upto_ = accepted_;
    }
}

// Whether the lines queued behind a write that the writer has under way
// fit, with it, into what the output takes at once. They are then no
// backlog: the writer is merely between two writes, which on a busy
// machine may take a while. The caller holds the lock.
bool LineQueue::queued_fit_beside_write() {
    size_t queued = static_cast<size_t>(accepted_ - taken_) + (batch_len_ - batch_done_);
    if (pipe_size_ > 0) {
        int in_pipe = 0;
        if (ioctl(fd_, FIONREAD, &in_pipe) != 0 || in_pipe < 0) in_pipe = 0;
        return static_cast<size_t>(in_pipe) + queued <= pipe_size_ / 2;
    }
    struct pollfd room = {fd_, POLLOUT, 0};
    return queued <= batch_capacity_ && poll(&room, 1, 0) == 1 && (room.revents & POLLOUT) != 0;
}

// Waits, briefly, for the writer's write to end: the output has room for
// it, so only the machine's scheduling holds it up, never the reader. A
// wait that ran out is not repeated until the writer gets on. The caller
// holds the lock.
bool LineQueue::await_write() {
    if (write_stalled_ && finished_ == write_stalled_at_) return false;
    struct timespec deadline = deadline_in_ms(WRITE_END_WAIT_MS);
    while (writing_) {
        if (!wait_progress(deadline)) {
            write_stalled_ = true;
            write_stalled_at_ = finished_;
            return false;
        }
    }
    write_stalled_ = false;
    return true;
}

void LineQueue::settle() {
    pthread_mutex_lock(&lock_);
    if (fd_ >= 0 && finished_ < accepted_) {
        start_writer();
        write_now(accepted_, true);
        bool kept = writing_ && queued_fit_beside_write();
        // After the write ended the queue is another: look again.
        if (kept && await_write()) {
            write_now(accepted_, true);
            kept = writing_ && queued_fit_beside_write();
        }
        if (!kept) drop_backlog();
        pthread_cond_broadcast(&progress_);
    }
    pthread_mutex_unlock(&lock_);
}

bool LineQueue::flush_until(const struct timespec &deadline) {
    pthread_mutex_lock(&lock_);
    uint64_t target = accepted_;
    if (finished_ < target) start_writer();
    if (flush_target_ < target) flush_target_ = target;
    write_now(target, false);
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
    char notice[256];
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
    if (fd >= 0) write_all(fd, preamble, len);
    return fd;
}

bool LineQueue::attached() {
    pthread_mutex_lock(&lock_);
    bool yes = fd_ >= 0;
    pthread_mutex_unlock(&lock_);
    return yes;
}
