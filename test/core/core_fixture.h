// Shared set-up of the core tests: the simulated bridge powered on, the
// I2C master open, the receive register selected, the memory cleared and
// the configuration at its defaults.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <vector>


#include "bridge_link.h"
#include "driver_api.h"
#include "message_memory.h"
#include "sim_bridge.h"

struct core_frame {
    uint8_t bytes[16];
};

inline core_frame make_frame(uint32_t id, std::initializer_list<uint8_t> data, int len = -1) {
    core_frame f;
    memset(f.bytes, 0, sizeof f.bytes);
    f.bytes[2] = static_cast<uint8_t>(id >> 8);
    f.bytes[3] = static_cast<uint8_t>(id);
    f.bytes[6] = static_cast<uint8_t>(len < 0 ? static_cast<int>(data.size()) : len);
    int i = 0;
    for (uint8_t b : data) {
        if (i < 8) f.bytes[7 + i] = b;
        i++;
    }
    f.bytes[15] = checksum(f.bytes, 15);
    return f;
}

class CoreTest : public ::testing::Test {
protected:
    // The driver's own defaults, taken before the first test changes them.
    struct configuration {
        int32_t enabled[14];
        int32_t cyclic[14];
        int32_t deb_delay;
    };
    static const configuration &defaults() {
        static const configuration saved = [] {
            configuration c;
            memcpy(c.enabled, is_enabled, sizeof c.enabled);
            memcpy(c.cyclic, is_cyclic, sizeof c.cyclic);
            c.deb_delay = deb_delay;
            return c;
        }();
        return saved;
    }

    void SetUp() override {
        memcpy(is_enabled, defaults().enabled, sizeof is_enabled);
        memcpy(is_cyclic, defaults().cyclic, sizeof is_cyclic);
        deb_delay = defaults().deb_delay;
        i2c_delay = 0;
        can_bus_delay = 0;
        debug_log = false;
        simulate = 0;
        rearm_driver_threads();  // and with it no set-up of the bridge pending
        ASSERT_EQ(init_bus_lock(), 0);
        sim_bridge::reset();
        sim_bridge::bus_speed(0);
        ASSERT_TRUE(sim_bridge::controller_init());
        sim_bridge::controller_begin();
        ASSERT_EQ(select_register(REG_RECEIVE), 0);
        clear_mem(false, -1);
        drain();
    }

    // Takes every pending change, oldest first.
    std::vector<status_snapshot> drain() {
        std::vector<status_snapshot> out;
        begin_wakeup();
        status_snapshot s;
        while (take_change(&s)) out.push_back(s);
        return out;
    }

    void feed(const core_frame &f, uint64_t repeat = 1) { sim_bridge::receive(f.bytes, repeat); }

    // Feeds one frame and runs one receive cycle.
    void cycle(const core_frame &f) {
        feed(f);
        listen_cycle();
    }

    static int32_t stat(int pos) { return PDO_memory[pos].counter; }
};
