// A bounded queue of whole text lines for one output (standard output, the
// debug log), written out by a thread of its own that holds no other lock.
//
// Queuing never waits for the output and never allocates: a line that does
// not fit is dropped and counted, and once the output takes lines again a
// notice of how many were lost takes the place where they were missing.
// Lines leave in the order they were queued, each whole: a write holds whole
// lines only, so the application's own writes to the same pipe fall between
// lines, never into one.
//
// Instances are static and never destroyed: the writer and the driver
// threads may use them while the process exits.
#pragma once

#include <pthread.h>
#include <time.h>

#include <cstddef>
#include <cstdint>

class LineQueue {
public:
    // Writes the notice of `dropped` lost lines, line feed included, into
    // `out`; returns its length.
    using notice_fn = size_t (*)(char *out, size_t cap, uint64_t dropped);

    // `ring` and `batch` are static buffers of this queue; a batch is the
    // most the writer hands to one write(2). The drop notice goes to
    // `notices`, or into this queue itself when that is null.
    constexpr LineQueue(int fd, char *ring, size_t capacity, char *batch, size_t batch_capacity,
                        notice_fn drop_notice, LineQueue *notices)
        : fd_(fd), ring_(ring), capacity_(capacity), batch_(batch), batch_capacity_(batch_capacity),
          drop_notice_(drop_notice), notices_(notices) {}

    // Queues `len` bytes of whole lines, each ended by a line feed; nothing
    // when the queue has no output. A caller that flushes right after may
    // leave the writer asleep (`wake` false).
    void push(const char *text, size_t len, bool wake = true);

    // Waits until every line queued before the call has been written, at
    // most until `deadline` (CLOCK_MONOTONIC). Once a wait ran out, later
    // calls return at once until the writer gets a line out again, so a
    // stalled reader costs one wait, not one per line. When nothing is being
    // written and the output can take a batch at once, the calling thread
    // writes it itself, without handing it to the writer. Returns whether
    // all was written.
    bool flush_until(const struct timespec &deadline);
    bool flush(int wait_ms);

    // Lines go to `fd` from now on; `preamble` (may be empty) is written
    // just before the first of them. A process that is killed can end a
    // regular file in the middle of a write only where the write crosses a
    // page of the file, so in a regular file no write crosses one except a
    // single line that does: a kill cuts a line no more often than when
    // each line had a write of its own.
    void attach(int fd, const char *preamble, size_t len);
    // Stops writing: lines still queued are discarded, a preamble still
    // pending is written. Returns the descriptor, -1 when there was none or
    // when the writer stayed in a write until `deadline` (the descriptor is
    // then left to it and must not be closed).
    int detach(const struct timespec &deadline);

    bool attached();

private:
    static void *writer_entry(void *self);
    void start_writer();
    void run_writer();
    size_t take_batch();
    void note_written(int fd, size_t len);
    void write_here(uint64_t target);
    size_t room() const { return capacity_ - static_cast<size_t>(accepted_ - taken_); }
    void copy_in(const char *text, size_t len);
    bool wait_progress(const struct timespec &deadline);

    pthread_mutex_t lock_ = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t work_ = PTHREAD_COND_INITIALIZER;      // the writer waits for lines
    pthread_cond_t progress_ = PTHREAD_COND_INITIALIZER;  // flushes wait for the writer
    int fd_;
    char *ring_;
    size_t capacity_;
    char *batch_;
    size_t batch_capacity_;
    notice_fn drop_notice_;
    LineQueue *notices_;

    // Byte counts since the start, so that they only ever grow.
    uint64_t accepted_ = 0;  // queued
    uint64_t taken_ = 0;     // copied out into the batch
    uint64_t finished_ = 0;  // written, or given up on a broken output
    uint64_t dropped_ = 0;   // lines dropped since the last notice
    uint64_t stalled_at_ = 0;
    bool stalled_ = false;   // a flush ran out while finished_ was stalled_at_

    char preamble_[128] = {0};
    size_t preamble_len_ = 0;
    bool writer_started_ = false;
    bool writer_waiting_ = false;
    bool writing_ = false;   // a thread owns the batch and writes it
    // The part of the batch that a flush could not write at once; the
    // writer writes it before anything else.
    size_t carry_at_ = 0;
    size_t carry_len_ = 0;
    uint64_t carry_upto_ = 0;
    // In a regular file: its page size, and where the next write lands.
    uint64_t page_ = 0;
    uint64_t file_end_ = 0;
    pthread_t writer_{};
};

// A CLOCK_MONOTONIC time `ms` milliseconds from now.
struct timespec deadline_in_ms(int ms);
