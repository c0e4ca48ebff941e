#include "line_ring.h"

#include <cstring>

uint64_t count_lines(const char *text, size_t len) {
    uint64_t lines = 0;
    for (const char *end = text + len; (text = static_cast<const char *>(memchr(text, '\n', end - text))); text++) lines++;
    return lines;
}

static void ring_put(char *ring, size_t capacity, uint64_t at, const char *text, size_t len) {
    size_t from = static_cast<size_t>(at % capacity);
    size_t first = len < capacity - from ? len : capacity - from;
    memcpy(ring + from, text, first);
    memcpy(ring, text + first, len - first);
}

static void ring_get(const char *ring, size_t capacity, uint64_t at, char *out, size_t len) {
    size_t from = static_cast<size_t>(at % capacity);
    size_t first = len < capacity - from ? len : capacity - from;
    memcpy(out, ring + from, first);
    memcpy(out + first, ring, len - first);
}

void LineRing::copy_in(const char *text, size_t len) {
    ring_put(ring_, capacity_, accepted_, text, len);
    accepted_ += len;
}

void LineRing::copy_out(char *out, size_t len) const { ring_get(ring_, capacity_, taken_, out, len); }

bool LineRing::push(const char *text, size_t len) {
    pthread_mutex_lock(&lock_);
    bool was_idle = accepted_ == taken_ && dropped_ == 0;
    if (room() < len) {
        if (dropped_ == 0) gap_at_ = accepted_;
        dropped_++;
    } else {
        copy_in(text, len);
    }
    busy_.store(true, std::memory_order_release);
    pthread_mutex_unlock(&lock_);
    return was_idle;
}

size_t LineRing::take(char *out, size_t cap, uint64_t *dropped) {
    pthread_mutex_lock(&lock_);
    uint64_t upto = dropped_ > 0 ? gap_at_ : accepted_;
    size_t len = static_cast<size_t>(upto - taken_);
    if (len > cap) len = cap;
    copy_out(out, len);
    // Whole lines only: the rest comes with the next take.
    const void *last = memrchr(out, '\n', len);
    len = last == nullptr ? 0 : static_cast<size_t>(static_cast<const char *>(last) - out) + 1;
    taken_ += len;
    *dropped = 0;
    if (dropped_ > 0 && taken_ == gap_at_) {
        *dropped = dropped_;
        dropped_ = 0;
    }
    busy_.store(accepted_ != taken_ || dropped_ > 0, std::memory_order_release);
    pthread_mutex_unlock(&lock_);
    return len;
}
