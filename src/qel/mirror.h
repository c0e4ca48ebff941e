// The mirror: every frame the receive thread reads from the bridge, sent on
// to a SocketCAN interface (a vcan, for Linux's CAN tools to read there).
//
// One way only: the socket is opened with a filter that takes in nothing,
// so no frame on the interface can ever reach the bridge. The receive
// thread never waits for the socket: a send that finds no room drops the
// frame (counted), and a send that fails otherwise (the interface went down
// or was removed) ends the mirror with one console line. The bridge's own
// markers (kind_of in frame.h, the rule the receive loop sorts by) and
// frames that failed its checksum are no bus frames: empty polls and bad
// checksums are counted, the error marker is left out uncounted, as the
// statistics have them. Who owns what: threads.h.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "frame.h"

// Whether frames go to an interface now; the receive thread asks once per
// frame, without a lock.
bool mirror_running();

struct mirror_counts {
    uint64_t sent;
    uint64_t dropped;          // the socket had no room
    uint64_t checksum_errors;  // not sent
    uint64_t empty;            // empty polls, not sent: as "empty" counts them
};

// Main thread. Opens a raw CAN socket on `iface` and mirrors to it from now
// on, instead of an earlier interface, with the counts from zero. Returns 0
// or the errno value of what failed; an earlier mirror then goes on.
int mirror_start(const char *iface);
// The same with a socket that is already open (non-blocking, connected),
// which the mirror then owns.
void mirror_attach(int fd, const char *iface);
// Main thread. Ends the mirror; the counts stay readable.
void mirror_stop();
// The interface mirrored to, or an empty string; and the counts so far.
void mirror_state(char *iface, size_t cap, mirror_counts *counts);

// What a failed mirror_start means for the person who runs the driver.
void mirror_failure(char *out, size_t cap, const char *iface, int err);

// Whether `name` (of `length` bytes) can name an interface.
bool mirror_name_valid(const char *name, size_t length);
// Main thread, at a start: the mirror to the interface QEL_MIRROR names,
// unless one runs. A failure is told on the console, in the words mirror()
// would throw, and leaves the driver running: the mirror is for watching,
// never a reason to stop.
void mirror_from_environment();

// Receive thread, while mirror_running(), with a frame it read; not under the bus
// lock, as it may print.
void mirror_record(const uint8_t *frame);

// The classic CAN frame of a bridge frame, as the 16 bytes of Linux's
// struct can_frame: an identifier above 0x7FF goes out extended, a length
// code of 9 to 15 as eight bytes with that code kept beside them.
void mirror_can_frame(const uint8_t *frame, uint8_t *out);
