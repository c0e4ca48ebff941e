// The message memory: 17 slots keyed by CAN identifier, the driver
// statistics, and the queue of slots whose change waits for delivery.
//
// Nothing here locks; which thread may call what, and under which lock, is
// in threads.h (the slot table and the change queue).
#pragma once

#include <cstdint>

struct msg_mem_struct {
    uint64_t timestamp;   // ms since the Unix epoch, 0 when cleared
    int32_t counter;      // frames or events recorded, wraps modulo 2^32
    int32_t msg_id;       // identifier of the latest recorded frame
    uint8_t msg_data[8];  // data bytes of the latest recorded frame
};

struct pdo_map_struct {
    uint32_t msg_id;
    int32_t position;
};

constexpr int MEM_SLOTS = 17;
constexpr int MSG_SLOTS = 13;  // positions 0-12 hold listed identifiers
constexpr int POS_HB = 13;
constexpr int POS_UNK = 14;
constexpr int POS_EMPTY = 15;
constexpr int POS_ERR = 16;

extern msg_mem_struct PDO_memory[MEM_SLOTS];
extern const pdo_map_struct PDO_map[MEM_SLOTS];

int mem_position(uint32_t msg_id);
void clear_mem(bool keep_counters, int32_t msg_id);
void count_event(int pos);

// What a status object is built from: a copy of one slot and of the four
// statistics counters, taken under the bus lock.
struct status_snapshot {
    int position;
    msg_mem_struct slot;
    int32_t stats[4];  // hb, unk, empty, err
};
void snapshot_slot(int pos, status_snapshot *out);

// Change queue. A slot with a reportable change is queued once, in the order
// in which it first became pending, and leaves the queue when the main
// thread takes its copy; a later change queues it again.
//
// post_change() returns true when the main thread has to be woken: only the
// first post after the main thread began a wake-up needs a signal.
bool post_change(int pos);
// Keeps the copy of a pending slot equal to the slot after every frame
// recorded in it; the caller holds the bus lock.
void refresh_change(int pos);
// Takes the oldest pending slot, as it is now; returns false when none is
// pending. A slot queued again whose latest change has been taken already
// is passed over. Main thread only; needs no lock.
bool take_change(status_snapshot *out);
// Called once at the start of every wake-up of the main thread: returns
// whether a post asked for it, and arms the next signal.
bool begin_wakeup();
// Number of slots waiting for delivery.
int pending_changes();
// Tests only: moves both ends of the empty queue to `count`, so that a test
// can run the queue across its counters' wrap.
void set_change_counters(uint32_t count);
