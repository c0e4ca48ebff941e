// Fuzz target for the receive cycle. The input is a program of operations:
//
//   op % 6 == 0  a bridge frame: the next 16 bytes, polled by one cycle
//   op % 6 == 1  a failed bus read with the next byte as its code (0 -> 1)
//   op % 6 == 2  a clear: next byte bit 0 keeps counters, bit 1 clears one
//                slot whose identifier is the following two bytes
//   op % 6 == 3  a simulated frame: the next 15 bytes, checksum added
//   op % 6 == 4  new enable and cyclic tables: the next four bytes
//   op % 6 == 5  an empty poll
//
// A failed read, or a "nothing waiting" marker with a wrong checksum, has
// the next two cycles set the bridge up again before a read.
//
// After every operation: each counter equals the number of frames of its
// kind seen since the slot was last cleared with its counter (statistics
// included), a slot's identifier is 0 or one that maps to it, and every
// reported position is 0-12 and enabled.
#include <cstdint>
#include <cstdlib>
#include <cstring>


#include "bridge_link.h"
#include "driver_api.h"
#include "message_memory.h"
#include "sim_bridge.h"

namespace {

// The slot of an identifier, written out independently of the driver's map.
int expected_position(uint32_t id) {
    if (id >= 0x700 && id <= 0x7FF) return 13;
    switch (id) {
    case 0x1A1: return 0;
    case 0x2A1: return 1;
    case 0x3A1: return 2;
    case 0x421: return 3;
    case 0x4A1: return 4;
    case 0x2A2: return 5;
    case 0x2C0: return 6;
    case 0x2C1: return 7;
    case 0x2C4: return 8;
    case 0x2C5: return 9;
    case 0x2C8: return 10;
    case 0x2C9: return 11;
    case 0x4E0: return 12;
    case 0xFFE: return 15;
    case 0xFFD: return 16;
    default: return 14;
    }
}

uint32_t expected_count[MEM_SLOTS];
bool setup_due = false;

uint8_t frame_sum(const uint8_t *bytes) {
    uint32_t sum = 0;
    for (int i = 0; i < 15; i++) sum += bytes[i];
    return static_cast<uint8_t>(sum > 255 ? 0u - sum : sum);
}

// What one processed frame adds to the counters.
void count_frame(const uint8_t *f) {
    uint32_t id = static_cast<uint32_t>(f[2]) * 256u + f[3];
    int pos = expected_position(id);
    if (f[6] == 0xFF || pos == 15) {
        bool valid = f[15] == frame_sum(f);
        expected_count[valid ? 15 : 16]++;
        setup_due = setup_due || !valid;
        return;
    }
    if (pos == 14) {
        expected_count[14]++;
        return;
    }
    if (pos == 16) return;
    if (pos == 13) expected_count[13]++;
    if (f[15] != frame_sum(f)) {
        expected_count[16]++;
        return;
    }
    if (is_enabled[pos] != 0) expected_count[pos]++;
}

void expect_clear(bool keep_counters, int32_t id) {
    if (keep_counters) return;
    if (id < 0) {
        memset(expected_count, 0, sizeof expected_count);
    } else {
        expected_count[expected_position(static_cast<uint32_t>(id))] = 0;
    }
}

void check(bool ok) {
    if (!ok) abort();
}

void check_memory() {
    for (int pos = 0; pos < MEM_SLOTS; pos++) {
        check(static_cast<uint32_t>(PDO_memory[pos].counter) == expected_count[pos]);
        int32_t id = PDO_memory[pos].msg_id;
        check(id == 0 || expected_position(static_cast<uint32_t>(id)) == pos);
    }
    begin_wakeup();
    status_snapshot s;
    while (take_change(&s)) check(s.position >= 0 && s.position < MSG_SLOTS && is_enabled[s.position] != 0);
}

void set_table(int32_t *table, uint16_t bits) {
    for (int pos = 0; pos < MSG_SLOTS; pos++) table[pos] = (bits >> pos) & 1;
}

void power_on() {
    static bool once = false;
    if (!once) {
        once = true;
        i2c_delay = 0;
        init_bus_lock();
    }
    sim_bridge::reset();
    sim_bridge::controller_init();
    sim_bridge::controller_begin();
    select_register(REG_RECEIVE);
    // Keep the debounce window short so that both of its paths are reached.
    deb_delay = 1;
    set_table(is_enabled, 0x1FF7);
    set_table(is_cyclic, 0x0005);
    simulate = 0;
    rearm_driver_threads();
    setup_due = false;
    clear_mem(false, -1);
    memset(expected_count, 0, sizeof expected_count);
    check_memory();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *in, size_t size) {
    power_on();
    size_t at = 0;
    auto take = [&](size_t n) -> const uint8_t * {
        if (at + n > size) return nullptr;
        const uint8_t *p = in + at;
        at += n;
        return p;
    };
    while (at < size) {
        uint8_t op = in[at++] % 6;
        if (setup_due && op != 2 && op != 3 && op != 4) {
            listen_cycle();
            listen_cycle();
            setup_due = false;
        }
        if (op == 0) {
            const uint8_t *f = take(16);
            if (f == nullptr) break;
            sim_bridge::receive(f, 1);
            listen_cycle();
            count_frame(f);
        } else if (op == 1) {
            const uint8_t *c = take(1);
            if (c == nullptr) break;
            sim_bridge::fail_reads(1, c[0] == 0 ? 1 : c[0]);
            listen_cycle();
            expected_count[16]++;
            setup_due = true;
        } else if (op == 2) {
            const uint8_t *p = take(3);
            if (p == nullptr) break;
            bool keep = p[0] & 1;
            int32_t id = (p[0] & 2) ? static_cast<int32_t>(p[1] * 256 + p[2]) : -1;
            clear_mem(keep, id);
            expect_clear(keep, id);
        } else if (op == 3) {
            const uint8_t *f = take(15);
            if (f == nullptr) break;
            memcpy(sim_buf, f, 15);
            sim_buf[15] = checksum(sim_buf, 15);
            simulate = 1;
            uint8_t frame[16];
            memcpy(frame, sim_buf, 16);
            listen_cycle();
            count_frame(frame);
        } else if (op == 4) {
            const uint8_t *p = take(4);
            if (p == nullptr) break;
            set_table(is_enabled, static_cast<uint16_t>(p[0] | p[1] << 8));
            set_table(is_cyclic, static_cast<uint16_t>(p[2] | p[3] << 8));
        } else {
            listen_cycle();
            expected_count[15]++;
        }
        check_memory();
    }
    return 0;
}
