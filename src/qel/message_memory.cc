#include "message_memory.h"

#include <cstring>

#include "config.h"
#include "diagnostics.h"
#include "frame.h"
#include "seq_copy.h"

msg_mem_struct PDO_memory[MEM_SLOTS];

const pdo_map_struct PDO_map[MEM_SLOTS] = {
    {0x1A1, 0},  {0x2A1, 1},  {0x3A1, 2},  {0x421, 3},  {0x4A1, 4},  {0x2A2, 5},
    {0x2C0, 6},  {0x2C1, 7},  {0x2C4, 8},  {0x2C5, 9},  {0x2C8, 10}, {0x2C9, 11},
    {0x4E0, 12}, {0x700, 13}, {0xFFF, 14}, {ID_EMPTY, 15}, {ID_ERROR, 16},
};

// Every message slot has a copy that the main thread reads without the bus
// lock (Bus.read), so that it never waits for a transfer in progress:
// written after each change of the slot, under the bus lock that every
// writer of the slot holds. The statistics come from the hand-off's mirror,
// which an empty poll updates anyway.
namespace {

SeqCopy<msg_mem_struct> slot_copies[MEM_SLOTS];

void publish_slot(int pos) { slot_copies[pos].write(PDO_memory[pos]); }
void read_copy(int pos, msg_mem_struct *out) { slot_copies[pos].read(out); }

}  // namespace

void read_slot_copy(int pos, status_snapshot *out) {
    out->position = pos;
    read_copy(pos, &out->slot);
    read_mirrored_stats(out->stats);
}

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
    int first = 0;
    int last = MEM_SLOTS - 1;
    if (msg_id >= 0) first = last = mem_position(static_cast<uint32_t>(msg_id));
    for (int pos = first; pos <= last; pos++) {
        clear_slot(PDO_memory[pos], keep_counters);
        publish_slot(pos);
        refresh_change(pos, PDO_memory[pos]);  // a pending delivery shows the slot as cleared
    }
    for (int i = 0; i < STAT_SLOTS; i++) mirror_stat(i, PDO_memory[POS_HB + i].counter);
}

void count_event(int pos) {
    // Counters wrap modulo 2^32 like the bridge's own; unsigned arithmetic
    // keeps the wrap defined.
    msg_mem_struct &slot = PDO_memory[pos];
    slot.counter = static_cast<int32_t>(static_cast<uint32_t>(slot.counter) + 1u);
    // The last change a frame makes to its slot: the copy shows it whole.
    if (pos >= POS_HB) {
        mirror_stat(pos - POS_HB, slot.counter);
    } else {
        publish_slot(pos);
    }
}

void snapshot_slot(int pos, status_snapshot *out) {
    out->position = pos;
    out->slot = PDO_memory[pos];
    for (int i = 0; i < STAT_SLOTS; i++) out->stats[i] = PDO_memory[POS_HB + i].counter;
}

uint64_t timestamp() { return static_cast<uint64_t>(wall_clock_ns() / 1000000); }

// ------------------------------------------------------- sorting rules

namespace {

bool data_differs(const msg_mem_struct &slot, const uint8_t *frame, int count) {
    return memcmp(slot.msg_data, frame + FRAME_DATA_AT, static_cast<size_t>(count)) != 0;
}

// Decides by the slot's class whether the frame is to be reported, and
// stamps the slot accordingly.
bool classify(const uint8_t *frame, int pos, uint32_t id, uint64_t t, cycle_report &report) {
    msg_mem_struct &slot = PDO_memory[pos];
    if (is_cyclic[pos] != 0) {
        slot.timestamp = t;
        return slot.msg_id == 0 || data_differs(slot, frame, 8);
    }
    if (id / 256 == 2) {
        uint64_t elapsed = timestamp() - slot.timestamp;
        if (elapsed > static_cast<uint64_t>(static_cast<uint32_t>(deb_delay)) ||
            data_differs(slot, frame, 3)) {
            slot.timestamp = t;
            return true;
        }
        if (debug_log) note_cycle(report, cycle_notice::debouncing, static_cast<unsigned>(slot.msg_id), slot.msg_data[0]);
        return false;
    }
    slot.timestamp = t;
    return true;
}

// Checks, filters, records and classifies a frame of a position 0-13.
void accept_frame(const uint8_t *frame, int pos, uint32_t id, cycle_report &report) {
    uint8_t calculated = checksum(frame, frame_len - 1);
    if (frame[FRAME_CHECKSUM_AT] != calculated) {
        if (debug_log) note_cycle(report, cycle_notice::checksum_error, frame[FRAME_CHECKSUM_AT], calculated);
        count_event(POS_ERR);
        return;
    }
    if (is_enabled[pos] == 0) return;
    uint64_t t = timestamp();
    if (debug_log) {
        report.prints = true;
        report.log_line = true;
        report.received_at = t;
        memcpy(report.frame, frame, sizeof report.frame);
    }
    bool reported = classify(frame, pos, id, t, report);
    msg_mem_struct &slot = PDO_memory[pos];
    memcpy(slot.msg_data, frame + FRAME_DATA_AT, sizeof slot.msg_data);
    slot.msg_id = static_cast<int32_t>(id);
    count_event(pos);
    if (!reported) {
        refresh_change(pos, slot);
        return;
    }
    report.position = pos;
    report.wake = post_change(pos, slot);
    if (debug_log) {
        snapshot_slot(pos, &report.dump);
        report.received_checksum = frame[FRAME_CHECKSUM_AT];
        report.calculated_checksum = calculated;
    }
}

}  // namespace

void sort_frame(const uint8_t *frame, cycle_report &report) {
    switch (kind_of(frame)) {
        case frame_kind::empty:
            return count_event(POS_EMPTY);
        case frame_kind::invalid:
            if (debug_log) note_cycle(report, cycle_notice::checksum_error, frame[FRAME_CHECKSUM_AT], checksum(frame, frame_len - 1));
            return count_event(POS_ERR);
        case frame_kind::error_marker:
            return;  // names the error statistic, counts nothing
        case frame_kind::unknown_marker:
            return count_event(POS_UNK);
        case frame_kind::can:
            break;
    }
    uint32_t id = frame_id(frame);
    int pos = mem_position(id);
    if (pos == POS_UNK) return count_event(POS_UNK);
    if (pos == POS_HB) count_event(POS_HB);
    accept_frame(frame, pos, id, report);
}
