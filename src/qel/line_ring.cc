#include "line_ring.h"

#include <cstring>

uint64_t count_lines(const char *text, size_t len) {
    uint64_t lines = 0;
    for (const char *end = text + len; (text = static_cast<const char *>(memchr(text, '\n', end - text))); text++) lines++;
    return lines;
}

bool LineRing::push(const char *text, size_t len) {
    pthread_mutex_lock(&lock_);
    bool was_idle = accepted_ == taken_ && dropped_ == 0;
    if (capacity_ - (accepted_ - taken_) < len) {
        if (dropped_++ == 0) gap_at_ = accepted_;
    } else {
        size_t from = accepted_ % capacity_;
        size_t first = len < capacity_ - from ? len : capacity_ - from;
        memcpy(ring_ + from, text, first);
        memcpy(ring_, text + first, len - first);
        accepted_ += len;
    }
    pthread_mutex_unlock(&lock_);
    return was_idle;
}

size_t LineRing::take(char *out, size_t cap, uint64_t *dropped) {
    pthread_mutex_lock(&lock_);
    size_t len = static_cast<size_t>((dropped_ > 0 ? gap_at_ : accepted_) - taken_);
    len = len < cap ? len : cap;
    size_t from = taken_ % capacity_;
    size_t first = len < capacity_ - from ? len : capacity_ - from;
    memcpy(out, ring_ + from, first);
    memcpy(out + first, ring_, len - first);
    // Whole lines only: the rest comes with the next take.
    const void *last = memrchr(out, '\n', len);
    len = last == nullptr ? 0 : static_cast<size_t>(static_cast<const char *>(last) - out) + 1;
    taken_ += len;
    *dropped = dropped_ > 0 && taken_ == gap_at_ ? dropped_ : 0;
    dropped_ -= *dropped;
    pthread_mutex_unlock(&lock_);
    return len;
}

bool LineRing::idle() {
    pthread_mutex_lock(&lock_);
    bool idle = accepted_ == taken_ && dropped_ == 0;
    pthread_mutex_unlock(&lock_);
    return idle;
}
