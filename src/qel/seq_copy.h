// A value that one writer at a time rewrites and other threads copy without
// a lock: a sequence number, odd while the value is being written, tells a
// reader to try again. The words are atomics, so that a read overlapping a
// write is no data race, only a copy that the retry discards.
#pragma once

#include <sched.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

template <typename T>
class SeqCopy {
  public:
    void write(const T &value) {
        uint32_t words[WORDS] = {0};
        memcpy(words, &value, sizeof value);
        uint32_t sequence = sequence_.load(std::memory_order_relaxed);
        sequence_.store(sequence + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        for (size_t i = 0; i < WORDS; i++) words_[i].store(words[i], std::memory_order_relaxed);
        sequence_.store(sequence + 2, std::memory_order_release);
    }

    void read(T *out) {
        uint32_t words[WORDS];
        for (;;) {
            uint32_t before = sequence_.load(std::memory_order_acquire);
            if ((before & 1u) != 0) {
                sched_yield();  // the writer is in the middle of a copy
                continue;
            }
            for (size_t i = 0; i < WORDS; i++) words[i] = words_[i].load(std::memory_order_relaxed);
            std::atomic_thread_fence(std::memory_order_acquire);
            if (sequence_.load(std::memory_order_relaxed) == before) break;
        }
        memcpy(out, words, sizeof *out);
    }

  private:
    static constexpr size_t WORDS = (sizeof(T) + 3) / 4;
    std::atomic<uint32_t> sequence_{0};
    std::atomic<uint32_t> words_[WORDS] = {};
};
