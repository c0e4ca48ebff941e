// A bounded queue of whole text lines that any thread fills and one thread
// empties: the console's lines on their way to standard output, the debug
// log's on their way to the file. Filling never waits and never allocates:
// a line that does not fit is dropped and counted, and the count comes out
// where the lines are missing, after the lines taken before the gap.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

class LineRing {
public:
    constexpr LineRing(char *ring, size_t capacity) : ring_(ring), capacity_(capacity) {}

    // Returns whether the ring was empty before, so that the caller wakes
    // its reader once per batch, not once per line.
    bool push(const char *text, size_t len);
    // Takes whole lines, at most `cap` bytes; `*dropped`: the lines lost
    // right after them, told once.
    size_t take(char *out, size_t cap, uint64_t *dropped);
    bool idle();

private:
    pthread_mutex_t lock_ = PTHREAD_MUTEX_INITIALIZER;
    char *ring_;
    size_t capacity_;
    // Byte counts since the start, which only ever grow.
    uint64_t accepted_ = 0;
    uint64_t taken_ = 0;
    // Lines dropped since the count was last told, and where they went missing.
    uint64_t dropped_ = 0;
    uint64_t gap_at_ = 0;
};

uint64_t count_lines(const char *text, size_t len);
