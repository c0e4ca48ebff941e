// A bounded queue of whole text lines that any thread fills and one thread
// empties: the driver's console lines on their way to standard output, and
// the debug log's on their way to the file.
//
// Filling never waits and never allocates: a line that does not fit is
// dropped and counted, and the count comes out where the lines are missing,
// with the lines taken before the gap.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

class LineRing {
public:
    constexpr LineRing(char *ring, size_t capacity) : ring_(ring), capacity_(capacity) {}

    // Queues `len` bytes of whole lines, each ended by a line feed. Returns
    // whether the ring was empty before, so that the caller wakes its reader
    // once per batch, not once per line.
    bool push(const char *text, size_t len);

    // Takes whole lines, at most `cap` bytes, into `out`; returns their
    // length. `*dropped` is the number of lines lost right after them (0
    // when none), told once.
    size_t take(char *out, size_t cap, uint64_t *dropped);

    // Whether nothing is queued and nothing lost; a hint without the lock.
    bool idle() const { return !busy_.load(std::memory_order_acquire); }

private:
    size_t room() const { return capacity_ - static_cast<size_t>(accepted_ - taken_); }
    void copy_in(const char *text, size_t len);
    void copy_out(char *out, size_t len) const;

    pthread_mutex_t lock_ = PTHREAD_MUTEX_INITIALIZER;
    char *ring_;
    size_t capacity_;
    // Byte counts since the start, so that they only ever grow.
    uint64_t accepted_ = 0;
    uint64_t taken_ = 0;
    // Lines dropped since the count was last told, and where they went
    // missing.
    uint64_t dropped_ = 0;
    uint64_t gap_at_ = 0;
    std::atomic<bool> busy_{false};
};

// Lines (line feeds) in `len` bytes of text.
uint64_t count_lines(const char *text, size_t len);

