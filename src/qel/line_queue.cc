#include "line_queue.h"

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Writes all of `len` bytes, waiting for room as long as it takes: only the
// writer thread calls this, and it holds nothing anyone else waits for. A
// closed or broken output loses the batch.
void write_all(int fd, const char *text, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, text, len);
        if (n > 0) {
            text += n;
            len -= static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The runtime may have made the descriptor non-blocking.
            struct pollfd room = {fd, POLLOUT, 0};
            poll(&room, 1, -1);
        } else if (!(n < 0 && errno == EINTR)) {
            return;
        }
    }
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
    size_t notice_len = dropped_ > 0 ? drop_notice_(notice, sizeof notice, dropped_) : 0;
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

// -------------------------------------------------------------- writer

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
    if (!writer_started_) writer_started_ = pthread_create(&writer_, nullptr, writer_entry, this) == 0;
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
    return len + want;
}

// Where the next write to a regular file lands: its end, which a rotation
// that empties the file moves. Called without the lock, right after a write.
void LineQueue::note_written(int fd, size_t len) {
    if (page_ == 0) return;
    off_t end = lseek(fd, 0, SEEK_CUR);
    pthread_mutex_lock(&lock_);
    file_end_ = end >= 0 ? static_cast<uint64_t>(end) : file_end_ + len;
    pthread_mutex_unlock(&lock_);
}

void LineQueue::run_writer() {
    pthread_mutex_lock(&lock_);
    for (;;) {
        while (writing_ || (carry_len_ == 0 && taken_ == accepted_)) {
            writer_waiting_ = true;
            pthread_cond_wait(&work_, &lock_);
            writer_waiting_ = false;
        }
        const char *from = batch_ + carry_at_;
        size_t len = carry_len_;
        uint64_t upto = carry_upto_;
        if (len == 0) {
            from = batch_;
            len = take_batch();
            upto = taken_;
        }
        carry_len_ = 0;
        int fd = fd_;
        writing_ = true;
        pthread_mutex_unlock(&lock_);
        if (fd >= 0) write_all(fd, from, len);
        if (fd >= 0) note_written(fd, len);
        pthread_mutex_lock(&lock_);
        writing_ = false;
        if (finished_ < upto) finished_ = upto;
        pthread_cond_broadcast(&progress_);
    }
}

// ------------------------------------------------------------- waiting

// Waits for the writer to get on; false once `deadline` has passed. The
// caller holds the lock.
bool LineQueue::wait_progress(const struct timespec &deadline) {
    return pthread_cond_clockwait(&progress_, &lock_, CLOCK_MONOTONIC, &deadline) != ETIMEDOUT;
}

// The flush's own write: one write(2) of one batch at a time, and only while
// nothing else is being written and the output has room, so that it does
// not wait (a pipe with room takes up to PIPE_BUF bytes whole). What the
// write leaves over goes to the writer first. The caller holds the lock.
void LineQueue::write_here(uint64_t target) {
    while (finished_ < target && !writing_ && carry_len_ == 0 && taken_ == finished_ && fd_ >= 0) {
        struct pollfd room = {fd_, POLLOUT, 0};
        if (poll(&room, 1, 0) != 1 || (room.revents & POLLOUT) == 0) break;
        size_t len = take_batch();
        int fd = fd_;
        writing_ = true;
        pthread_mutex_unlock(&lock_);
        ssize_t n = write(fd, batch_, len);
        note_written(fd, len);
        pthread_mutex_lock(&lock_);
        writing_ = false;
        size_t written = n > 0 ? static_cast<size_t>(n) : 0;
        if (written < len) {
            carry_at_ = written;
            carry_len_ = len - written;
            carry_upto_ = taken_;
            break;
        }
        finished_ = taken_;
        pthread_cond_broadcast(&progress_);
    }
    if (writer_waiting_ && (carry_len_ > 0 || taken_ < accepted_)) pthread_cond_signal(&work_);
}

bool LineQueue::flush_until(const struct timespec &deadline) {
    pthread_mutex_lock(&lock_);
    uint64_t target = accepted_;
    if (finished_ < target) start_writer();
    write_here(target);
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
    start_writer();
    pthread_mutex_unlock(&lock_);
}

int LineQueue::detach(const struct timespec &deadline) {
    char preamble[sizeof preamble_];
    pthread_mutex_lock(&lock_);
    while (writing_ && wait_progress(deadline)) {
    }
    int fd = writing_ ? -1 : fd_;
    fd_ = -1;
    taken_ = finished_ = accepted_;
    carry_len_ = 0;
    dropped_ = 0;
    size_t len = preamble_len_;
    memcpy(preamble, preamble_, len);
    preamble_len_ = 0;
    pthread_cond_broadcast(&progress_);
    pthread_mutex_unlock(&lock_);
    if (fd >= 0) write_all(fd, preamble, len);
    return fd;
}

bool LineQueue::attached() {
    pthread_mutex_lock(&lock_);
    bool yes = fd_ >= 0;
    pthread_mutex_unlock(&lock_);
    return yes;
}
