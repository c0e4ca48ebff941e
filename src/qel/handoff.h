// The hand-off of changed slots from the receive thread to the main thread.
//
// A slot with a reportable change is queued once, in the order in which it
// first became pending, and leaves the queue when the main thread takes its
// copy; a later change queues it again. Who calls which side, and under
// which lock: threads.h.
#pragma once

#include <cstdint>

#include "slot.h"

// post_change() returns true when the main thread has to be woken: only the
// first post after the main thread began a wake-up needs a signal. `slot`
// is the slot at `pos` itself (its storage, which stays).
bool post_change(int pos, const msg_mem_struct &slot);
// The receive thread's posts and refreshes of one cycle stay out of the
// main thread's sight until release_posts(): in debug mode it first queues
// its console lines about them, so that no status object shows a frame
// before the dump about that frame is queued. release_posts() makes them
// under the bus lock (the caller no longer holds it) and returns whether
// the main thread has to be woken.
void hold_posts();
bool release_posts();
// Keeps the copy of a pending slot equal to the slot after every frame
// recorded in it.
void refresh_change(int pos, const msg_mem_struct &slot);
// Keeps the statistics that a delivery shows: counter `index` (0 hb, 1 unk,
// 2 empty, 3 err) is now `value`.
void mirror_stat(int index, int32_t value);
// The statistics as the last of them was mirrored, from any thread.
void read_mirrored_stats(int32_t stats[STAT_SLOTS]);
// Takes the oldest pending slot, as it is now; returns false when none is
// pending. A slot queued again whose latest change has been taken already
// is passed over. Main thread only; needs no lock.
bool take_change(status_snapshot *out);
// A wake-up for something other than a slot (news of the bridge); true
// when the caller has to signal it.
bool request_wakeup();
// Called once at the start of every wake-up of the main thread: returns
// whether a post asked for it, and arms the next signal.
bool begin_wakeup();
// Forgets every pending change; only while the receive thread does not
// run (a stop).
void drop_changes();
// Number of slots waiting for delivery.
int pending_changes();
// Tests only: moves both ends of the empty queue to `count`, so that a test
// can run the queue across its counters' wrap.
void set_change_counters(uint32_t count);
