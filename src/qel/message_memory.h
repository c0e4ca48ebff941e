// The message memory: 17 slots keyed by CAN identifier, the driver
// statistics, and the rules by which the receive thread sorts a frame into
// them. What is reported goes to the main thread through the hand-off
// (handoff.h); the bus transfers are the bridge link's (bridge_link.h).
//
// Nothing here locks; which thread may call what, and under which lock, is
// in threads.h (the slot table).
#pragma once

#include <cstdint>

#include "frame.h"
#include "handoff.h"
#include "slot.h"

struct pdo_map_struct {
    uint32_t msg_id;
    int32_t position;
};

extern msg_mem_struct PDO_memory[MEM_SLOTS];
extern const pdo_map_struct PDO_map[MEM_SLOTS];

int mem_position(uint32_t msg_id);
void clear_mem(bool keep_counters, int32_t msg_id);
void count_event(int pos);

// A copy of one slot and of the four statistics counters, taken under the
// bus lock.
void snapshot_slot(int pos, status_snapshot *out);

// The same copy without the bus lock, from the slots' own copies, which
// each change of a slot rewrites (under the bus lock): never waits for a
// transfer. The statistics are each as recent as the slot, or more.
// Main thread (any thread that holds no copy's writing, tests).
void read_slot_copy(int pos, status_snapshot *out);

// Milliseconds since the Unix epoch from the wall clock: the slots' time.
uint64_t timestamp();

// What a cycle prints once the bus lock is released: no console line and no
// log line is queued while the lock is held.
enum class cycle_notice : uint8_t { none, read_failed, checksum_error, debouncing };

struct cycle_report {
    int position = -1;
    bool wake = false;
    bool prints = false;  // anything below is to be printed
    bool simulated = false;
    cycle_notice notice = cycle_notice::none;
    unsigned values[2];   // of the notice
    bool log_line = false;
    uint64_t received_at; // of the log line
    uint8_t frame[FRAME_BYTES];  // copy for the log line
    status_snapshot dump; // copy for the debug console dump
    uint8_t received_checksum;
    uint8_t calculated_checksum;
};

inline void note_cycle(cycle_report &report, cycle_notice notice, unsigned a, unsigned b = 0) {
    report.prints = true;
    report.notice = notice;
    report.values[0] = a;
    report.values[1] = b;
}

// Sorts one frame taken from the bridge into the slots: maps its identifier,
// counts it, checks it, records it and decides by the slot's class whether
// the change is reported (and then hands it off). The caller holds the bus
// lock and prints what `report` holds after releasing it.
void sort_frame(const uint8_t *frame, cycle_report &report);
