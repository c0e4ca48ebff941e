// A bounded queue of whole text lines for one output (standard output, the
// debug log), written out by a thread of its own that holds no other lock.
//
// Queuing never waits for the output and never allocates: a line that does
// not fit is dropped and counted, and once the output takes lines again a
// notice of how many were lost takes the place where they were missing.
// Lines leave in the order they were queued, each whole: a write holds whole
// lines only, so the application's own writes to the same pipe fall between
// lines, never into one. A line that a write error cut short is cut back off
// a regular file, so the next line never gets glued to it.
//
// In a pipe the writer leaves half of the pipe to the application: a reader
// that falls behind makes the driver's lines wait in the queue (and be
// dropped once it is full), not the application's own console writes.
//
// Instances are static and never destroyed: the writer and the driver
// threads may use them while the process exits.
#pragma once

#include <pthread.h>
#include <time.h>

#include <cstddef>
#include <cstdint>

// How a queue reports lines it lost; each writes one line, line feed
// included, into `out` and returns its length. `failing` and `lost` may be
// null: a queue that reports into itself cannot report its own write errors.
struct LineNotices {
    size_t (*dropped)(char *out, size_t cap, uint64_t lines);           // the queue was full
    size_t (*failing)(char *out, size_t cap, int err);                  // writes began to fail
    size_t (*lost)(char *out, size_t cap, uint64_t lines, int err);     // lines the failed writes lost
};

class LineQueue {
public:
    // `ring` and `batch` are static buffers of this queue; a batch is the
    // most the writer hands to one write(2). The notices go to `notices`,
    // or into this queue itself when that is null.
    constexpr LineQueue(int fd, char *ring, size_t capacity, char *batch, size_t batch_capacity,
                        const LineNotices *notice, LineQueue *notices)
        : fd_(fd), ring_(ring), capacity_(capacity), batch_(batch), batch_capacity_(batch_capacity),
          notice_(notice), notices_(notices) {}

    // Queues `len` bytes of whole lines, each ended by a line feed; nothing
    // when the queue has no output. A caller that flushes right after may
    // leave the writer asleep (`wake` false).
    void push(const char *text, size_t len, bool wake = true);

    // Writes what the output takes at once of the lines queued so far, and
    // drops the rest (counted): afterwards nothing queued before the call
    // can come out after lines queued later by the caller. While the writer
    // is in a write, lines that the output has room for besides it are
    // not dropped: the call waits for that write (20 ms at most, as only
    // scheduling can hold it up) and writes them, or leaves them to the
    // writer. Never waits for the output. Main thread only.
    void settle();

    // Waits until every line queued before the call has been written, at
    // most until `deadline` (CLOCK_MONOTONIC). Once a wait ran out, later
    // calls return at once until the writer gets a line out again, so a
    // stalled reader costs one wait, not one per line. When nothing is being
    // written and the output can take a batch at once, the calling thread
    // writes it itself. Returns whether all was written.
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
    enum class wrote { all_or_part, no_room, failed };

    static void *writer_entry(void *self);
    void start_writer();
    void run_writer();
    size_t take_batch();
    wrote write_batch();
    void fail_batch(int fd, int err);
    void finish_batch();
    void write_now(uint64_t target, bool threads_only);
    void drop_backlog();
    bool queued_fit_beside_write();
    bool await_write();
    bool room_for_threads();
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
    LineQueue *notices_;

    // Byte counts since the start, so that they only ever grow.
    uint64_t accepted_ = 0;  // queued
    uint64_t taken_ = 0;     // copied out into the batch
    uint64_t finished_ = 0;  // written, dropped, or given up on a broken output
    uint64_t dropped_ = 0;   // lines dropped since the last notice
    uint64_t flush_target_ = 0;  // a flush waits for the lines up to here
    uint64_t stalled_at_ = 0;
    bool stalled_ = false;   // a flush ran out while finished_ was stalled_at_
    uint64_t write_stalled_at_ = 0;
    bool write_stalled_ = false;  // the same for a settle's wait for a write

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
    // In a regular file: its page size, and where the next write lands.
    uint64_t page_ = 0;
    uint64_t file_end_ = 0;
    // In a pipe: its size, of which the driver's lines take half at most.
    size_t pipe_size_ = 0;
    pthread_t writer_{};
};

// A CLOCK_MONOTONIC time `ms` milliseconds from now.
struct timespec deadline_in_ms(int ms);
