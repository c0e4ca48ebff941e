// A bounded queue of whole text lines for a regular file (the debug log),
// written out by a thread of its own that holds no other lock.
//
// Queuing never waits for the output and never allocates: a line that does
// not fit is dropped and counted, and once the output takes lines again a
// notice of how many were lost takes the place where they were missing.
// Lines leave in the order they were queued, each whole. A line that a
// write error cut short is cut back off the file, so the next line never
// gets glued to it.
//
// Instances are static and never destroyed: the writer and the driver
// threads may use them while the process exits.
#pragma once

#include <pthread.h>
#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <cstdint>

// How a queue reports lines it lost; each writes one line, line feed
// included, into `out` and returns its length.
struct LineNotices {
    size_t (*dropped)(char *out, size_t cap, uint64_t lines);           // the queue was full
    size_t (*failing)(char *out, size_t cap, int err);                  // writes began to fail
    size_t (*lost)(char *out, size_t cap, uint64_t lines, int err);     // lines the failed writes lost
};

class LineQueue {
public:
    // `ring` and `batch` are static buffers of this queue; a batch is the
    // most the writer hands to one write(2). The notices go to `report`
    // (another output: the file holds its own lines only).
    constexpr LineQueue(int fd, char *ring, size_t capacity, char *batch, size_t batch_capacity,
                        const LineNotices *notice, void (*report)(const char *text, size_t len))
        : fd_(fd), ring_(ring), capacity_(capacity), batch_(batch), batch_capacity_(batch_capacity),
          notice_(notice), report_(report) {}

    // Queues `len` bytes of whole lines, each ended by a line feed; nothing
    // when the queue has no output. A caller that flushes right after may
    // leave the writer asleep (`wake` false).
    void push(const char *text, size_t len, bool wake = true);

    // Waits until every line queued before the call has been written, at
    // most until `deadline` (CLOCK_MONOTONIC). Once a wait ran out, later
    // calls return at once until the writer gets a line out again, so a
    // stalled reader costs one wait, not one per line. When nothing is being
    // written and the output can take a batch at once, the calling thread
    // writes it itself. Returns whether all was written.
    bool flush_until(const struct timespec &deadline);
    bool flush(int wait_ms);

    // Lines go to the regular file `fd` from now on; `preamble` (may be
    // empty) is written just before the first of them. A process that is
    // killed can end a file in the middle of a write only where the write
    // crosses a page of the file, so no write crosses one except a single
    // line that does: a kill cuts a line no more often than when each line
    // had a write of its own.
    void attach(int fd, const char *preamble, size_t len);
    // Stops writing: lines still queued are discarded, a preamble still
    // pending is written. Returns the descriptor, -1 when there was none or
    // when the writer stayed in a write until `deadline` (the descriptor is
    // then left to it and must not be closed).
    int detach(const struct timespec &deadline);

    bool attached();

    // Ends the writer thread, which a later attach starts afresh: a module
    // that the runtime unloads must leave no thread of its own behind.
    // Returns false when the writer is still in a write at `deadline`; it
    // then ends once the write returns, and its code must stay loaded.
    bool stop_writer(const struct timespec &deadline);

private:
    enum class wrote { all_or_part, no_room, failed };

    static void *writer_entry(void *self);
    void start_writer();
    void run_writer();
    size_t take_batch();
    wrote write_batch();
    void fail_batch(int fd, int err);
    void finish_batch();
    void write_now(uint64_t target, char *notice, size_t cap, size_t *told);
    // Room for one notice of a failed write (it names the file).
    static constexpr size_t NOTICE_ROOM = 512;
    size_t room() const { return capacity_ - static_cast<size_t>(accepted_ - taken_); }
    uint64_t ring_lines(uint64_t from, uint64_t to) const;
    void copy_in(const char *text, size_t len);
    bool wait_progress(const struct timespec &deadline);
    size_t take_error_notices(char *out, size_t cap);
    void report(const char *text, size_t len);

    pthread_mutex_t lock_ = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t work_ = PTHREAD_COND_INITIALIZER;      // the writer waits for lines
    pthread_cond_t progress_ = PTHREAD_COND_INITIALIZER;  // flushes wait for the writer
    int fd_;
    char *ring_;
    size_t capacity_;
    char *batch_;
    size_t batch_capacity_;
    const LineNotices *notice_;
    void (*report_)(const char *text, size_t len);

    // Byte counts since the start, so that they only ever grow.
    uint64_t accepted_ = 0;  // queued
    uint64_t taken_ = 0;     // copied out into the batch
    uint64_t finished_ = 0;  // written, dropped, or given up on a broken output
    uint64_t dropped_ = 0;   // lines dropped since the last notice
    uint64_t flush_target_ = 0;  // a flush waits for the lines up to here
    uint64_t stalled_at_ = 0;
    bool stalled_ = false;   // a flush ran out while finished_ was stalled_at_

    // The batch: what one thread at a time hands to write(2). `writing_`
    // while a write of it runs, with the lock released.
    size_t batch_len_ = 0;
    size_t batch_done_ = 0;
    uint64_t batch_upto_ = 0;
    bool writing_ = false;

    // Writes that failed (a full file system, a broken pipe) since the last
    // successful one.
    uint64_t lost_ = 0;
    int lost_err_ = 0;
    bool failing_ = false;
    bool failing_told_ = false;

    char preamble_[128] = {0};
    size_t preamble_len_ = 0;
    bool writer_started_ = false;
    bool writer_waiting_ = false;
    bool writer_stopping_ = false;
    // The file's page size, and where the next write lands.
    uint64_t page_ = 0;
    uint64_t file_end_ = 0;
    pthread_t writer_{};
};

// How a queue's batches are written; tests put a file system that fills
// up in its place (nullptr: write(2) again).
using line_write_fn = ssize_t (*)(int fd, const void *text, size_t len);
void line_queue_set_writer(line_write_fn fn);

// A CLOCK_MONOTONIC time `ms` milliseconds from now, and the milliseconds
// left until one (0 once it has passed).
struct timespec deadline_in_ms(int ms);
int ms_until(const struct timespec &deadline);

// Writes all of `len` bytes to `fd`, which may be non-blocking, waiting for
// room until `deadline`; false when it ran out or the output is broken.
bool write_until(int fd, const char *text, size_t len, const struct timespec &deadline);
