// A message slot and the copy of one that a status object is built from:
// the types the slot table and the hand-off share.
#pragma once

#include <cstdint>

struct msg_mem_struct {
    uint64_t timestamp;   // ms since the Unix epoch, 0 when cleared
    int32_t counter;      // frames or events recorded, wraps modulo 2^32
    int32_t msg_id;       // identifier of the latest recorded frame
    uint8_t msg_data[8];  // data bytes of the latest recorded frame
};

constexpr int MEM_SLOTS = 17;
constexpr int MSG_SLOTS = 13;  // positions 0-12 hold listed identifiers
constexpr int POS_HB = 13;
constexpr int POS_UNK = 14;
constexpr int POS_EMPTY = 15;
constexpr int POS_ERR = 16;
constexpr int STAT_SLOTS = MEM_SLOTS - POS_HB;  // hb, unk, empty, err

// What a status object is built from: a copy of one slot and of the four
// statistics counters.
struct status_snapshot {
    int position;
    msg_mem_struct slot;
    int32_t stats[STAT_SLOTS];  // hb, unk, empty, err
};

// The keys of the four statistics in a status object's "driver_stats", in
// position order from POS_HB.
constexpr const char *STAT_KEYS[STAT_SLOTS] = {"hb", "unk", "empty", "err"};
