#include "message_memory.h"

#include <cstring>

msg_mem_struct PDO_memory[MEM_SLOTS];

const pdo_map_struct PDO_map[MEM_SLOTS] = {
    {0x1A1, 0},  {0x2A1, 1},  {0x3A1, 2},  {0x421, 3},  {0x4A1, 4},  {0x2A2, 5},
    {0x2C0, 6},  {0x2C1, 7},  {0x2C4, 8},  {0x2C5, 9},  {0x2C8, 10}, {0x2C9, 11},
    {0x4E0, 12}, {0x700, 13}, {0xFFF, 14}, {0xFFE, 15}, {0xFFD, 16},
};

int mem_position(uint32_t msg_id) {
    if (msg_id >= 0x700 && msg_id <= 0x7FF) return POS_HB;
    for (const pdo_map_struct &row : PDO_map) {
        if (row.msg_id == msg_id) return row.position;
    }
    return POS_UNK;
}

static void clear_slot(msg_mem_struct &slot, bool keep_counters) {
    slot.timestamp = 0;
    slot.msg_id = 0;
    memset(slot.msg_data, 0, sizeof slot.msg_data);
    if (!keep_counters) slot.counter = 0;
}

void clear_mem(bool keep_counters, int32_t msg_id) {
    if (msg_id < 0) {
        for (msg_mem_struct &slot : PDO_memory) clear_slot(slot, keep_counters);
        return;
    }
    clear_slot(PDO_memory[mem_position(static_cast<uint32_t>(msg_id))], keep_counters);
}

void count_event(int pos) {
    // Counters wrap modulo 2^32 like the bridge's own; unsigned arithmetic
    // keeps the wrap defined.
    msg_mem_struct &slot = PDO_memory[pos];
    slot.counter = static_cast<int32_t>(static_cast<uint32_t>(slot.counter) + 1u);
}

void snapshot_slot(int pos, status_snapshot *out) {
    out->position = pos;
    out->slot = PDO_memory[pos];
    for (int i = 0; i < 4; i++) out->stats[i] = PDO_memory[POS_HB + i].counter;
}

// A ring of positions plus a pending flag per slot: each slot is at most once
// in the ring, so MEM_SLOTS entries always suffice and nothing allocates.
static int change_ring[MEM_SLOTS];
static int ring_head = 0;
static int ring_count = 0;
static bool slot_pending[MEM_SLOTS];
static bool wakeup_requested = false;

bool post_change(int pos) {
    if (!slot_pending[pos]) {
        slot_pending[pos] = true;
        change_ring[(ring_head + ring_count) % MEM_SLOTS] = pos;
        ring_count++;
    }
    if (wakeup_requested) return false;
    wakeup_requested = true;
    return true;
}

bool take_change(status_snapshot *out) {
    if (ring_count == 0) return false;
    int pos = change_ring[ring_head];
    ring_head = (ring_head + 1) % MEM_SLOTS;
    ring_count--;
    slot_pending[pos] = false;
    snapshot_slot(pos, out);
    return true;
}

bool begin_wakeup() {
    bool requested = wakeup_requested;
    wakeup_requested = false;
    return requested;
}

int pending_changes() { return ring_count; }
