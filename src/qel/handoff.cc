#include "handoff.h"

#include <atomic>

#include "bus_lock.h"
#include "seq_copy.h"

// The receive thread, which holds the bus lock whenever it records a frame,
// copies each pending slot into a mailbox of its own and queues the slot's
// position once; the main thread takes positions and mailboxes without the
// bus lock, so a delivery never waits for the bus read in progress. Each
// mailbox is written only under the bus lock and read without it (a
// SeqCopy). Nothing allocates.

namespace {

// A mailbox holds a slot's copy and the number of the latest change posted
// in the slot; the main thread remembers the number it delivered last. The
// statistics come from their own mirror when the slot is taken.
struct posted_copy {
    msg_mem_struct slot;
    uint64_t change;
};
SeqCopy<posted_copy> mailboxes[MEM_SLOTS];
uint64_t changes_posted[MEM_SLOTS];     // receive thread, under the bus lock
uint64_t changes_delivered[MEM_SLOTS];  // main thread
std::atomic<uint32_t> pending_mask{0};
// Positions in the order they became pending. A slot is queued again only
// after the main thread took it, so it is at most once in the ring. The
// ring's size divides 2^32: the free-running counters index it the same way
// on both sides of their wrap.
constexpr uint32_t RING_SIZE = 32;
static_assert(RING_SIZE >= MEM_SLOTS && (RING_SIZE & (RING_SIZE - 1)) == 0, "a power of two that holds every slot");
std::atomic<int32_t> change_ring[RING_SIZE];
std::atomic<uint32_t> ring_tail{0};  // advanced by the receive thread
std::atomic<uint32_t> ring_head{0};  // advanced by the main thread
std::atomic<bool> wakeup_requested{false};
// The statistics as the main thread reads them for a delivery.
std::atomic<int32_t> stats_mirror[STAT_SLOTS];

uint32_t slot_bit(int pos) { return 1u << pos; }

void publish(int pos, const msg_mem_struct &slot) { mailboxes[pos].write({slot, changes_posted[pos]}); }
void read_mailbox(int pos, posted_copy *out) { mailboxes[pos].read(out); }

}  // namespace

// ------------------------------------------------------ the change queue

// Posts held back by the receive thread until release_posts(): which slots
// changed, and whether a change was reportable (a post) or only refreshes
// the copy of a pending slot.
static thread_local bool holding = false;
static uint32_t held_posts = 0;      // receive thread
static uint32_t held_refreshes = 0;  // receive thread
static const msg_mem_struct *held_slot[MEM_SLOTS];

static bool post_now(int pos, const msg_mem_struct &slot) {
    changes_posted[pos]++;
    publish(pos, slot);
    if ((pending_mask.fetch_or(slot_bit(pos), std::memory_order_acq_rel) & slot_bit(pos)) == 0) {
        uint32_t tail = ring_tail.load(std::memory_order_relaxed);
        change_ring[tail % RING_SIZE].store(pos, std::memory_order_relaxed);
        ring_tail.store(tail + 1, std::memory_order_release);
    }
    // Only the main thread clears the request, when a wake-up begins; so
    // every signal is either still to come or already counted by a wake-up.
    return !wakeup_requested.exchange(true, std::memory_order_acq_rel);
}

static void refresh_now(int pos, const msg_mem_struct &slot) {
    if ((pending_mask.load(std::memory_order_acquire) & slot_bit(pos)) != 0) publish(pos, slot);
}

bool post_change(int pos, const msg_mem_struct &slot) {
    if (!holding) return post_now(pos, slot);
    held_posts |= slot_bit(pos);
    held_slot[pos] = &slot;
    return false;
}

void refresh_change(int pos, const msg_mem_struct &slot) {
    if (!holding) return refresh_now(pos, slot);
    held_refreshes |= slot_bit(pos);
    held_slot[pos] = &slot;
}

void hold_posts() { holding = true; }

// The copies are made now, of the slots as they are now (the main thread
// may have cleared one meanwhile), under the bus lock as every copy is.
bool release_posts() {
    if (!holding) return false;
    holding = false;
    if ((held_posts | held_refreshes) == 0) return false;
    bool wake = false;
    receive_lock();
    for (int pos = 0; pos < MEM_SLOTS; pos++) {
        if ((held_posts & slot_bit(pos)) != 0) {
            wake = post_now(pos, *held_slot[pos]) || wake;
        } else if ((held_refreshes & slot_bit(pos)) != 0) {
            refresh_now(pos, *held_slot[pos]);
        }
    }
    receive_unlock();
    held_posts = held_refreshes = 0;
    return wake;
}

void mirror_stat(int index, int32_t value) { stats_mirror[index].store(value, std::memory_order_relaxed); }

void read_mirrored_stats(int32_t stats[STAT_SLOTS]) {
    for (int i = 0; i < STAT_SLOTS; i++) stats[i] = stats_mirror[i].load(std::memory_order_relaxed);
}

// Takes the oldest queued position; false when the queue is empty.
static bool take_position(int *pos) {
    uint32_t head = ring_head.load(std::memory_order_relaxed);
    if (head == ring_tail.load(std::memory_order_acquire)) return false;
    *pos = change_ring[head % RING_SIZE].load(std::memory_order_relaxed);
    ring_head.store(head + 1, std::memory_order_release);
    return true;
}

bool take_change(status_snapshot *out) {
    int pos;
    posted_copy copy;
    do {
        if (!take_position(&pos)) return false;
        // Cleared before the copy is read: a change posted meanwhile queues
        // the slot again rather than being lost. The copy may already hold
        // that change; the slot's second turn then finds nothing newer than
        // what was delivered and is passed over.
        pending_mask.fetch_and(~slot_bit(pos), std::memory_order_acq_rel);
        read_mailbox(pos, &copy);
    } while (copy.change == changes_delivered[pos]);
    changes_delivered[pos] = copy.change;
    out->position = pos;
    out->slot = copy.slot;
    read_mirrored_stats(out->stats);
    return true;
}

bool request_wakeup() { return !wakeup_requested.exchange(true, std::memory_order_acq_rel); }

bool begin_wakeup() { return wakeup_requested.exchange(false, std::memory_order_acq_rel); }

int pending_changes() {
    return static_cast<int>(ring_tail.load(std::memory_order_acquire) - ring_head.load(std::memory_order_acquire));
}

void drop_changes() {
    ring_head.store(ring_tail.load(std::memory_order_acquire), std::memory_order_relaxed);
    pending_mask.store(0, std::memory_order_relaxed);
    wakeup_requested.store(false, std::memory_order_relaxed);
    for (int pos = 0; pos < MEM_SLOTS; pos++) changes_delivered[pos] = changes_posted[pos];
}

void set_change_counters(uint32_t count) {
    ring_head.store(count, std::memory_order_relaxed);
    ring_tail.store(count, std::memory_order_release);
}
