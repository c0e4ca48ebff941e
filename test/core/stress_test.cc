// The three driver threads at once against the simulated bridge: the
// receive thread polling back to back, the heartbeat every millisecond, and
// this thread playing the main thread (commands, parameters, slot reads and
// clears, simulated frames, delivery of changes, a capture taken, stopped
// and started again), with failing reads and writes injected, in debug mode:
// the console's and the log's writers run alongside. Built also under
// ThreadSanitizer and AddressSanitizer.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>

#include "capture.h"
#include "core_fixture.h"
#include "diagnostics.h"
#include "lifecycle.h"
#include "transmit.h"

namespace {

uv_loop_t main_loop;
uint64_t delivered = 0;
uint64_t bad_deliveries = 0;
uint64_t news = 0;
// A beginning says no length, an end the run's. (They alternate, but a main
// thread that fell a whole table behind skips the oldest: in turn only
// between skips.)
uint64_t bad_news = 0;

// What the main thread's delivery does, minus JavaScript: it takes the
// pending slots without the bus lock.
void deliver_changes(uv_async_t *) {
    begin_wakeup();
    link_news n;
    while (take_link_news(&n)) {
        if (n.answering != (n.failed > 0)) bad_news++;
        news++;
    }
    status_snapshot s;
    for (;;) {
        if (!take_change(&s)) break;
        delivered++;
        bool sound = s.position >= 0 && s.position < MSG_SLOTS && is_enabled[s.position] != 0 &&
                     (s.slot.msg_id == 0 || mem_position(static_cast<uint32_t>(s.slot.msg_id)) == s.position);
        if (!sound) bad_deliveries++;
    }
}

const uint32_t ids[] = {0x1A1, 0x2A1, 0x3A1, 0x421, 0x4A1, 0x2A2, 0x2C0, 0x2C1, 0x2C4,
                        0x2C5, 0x2C8, 0x2C9, 0x4E0, 0x765, 0x123, 0xFFF, 0xFFE, 0xFFD};

uint64_t captured = 0;

uint64_t heartbeat_count() {
    uint64_t n = 0;
    for (const auto &w : sim_bridge::writes()) {
        if (w.bytes.size() == 17 && w.bytes[3] == 0x07) n++;
    }
    return n;
}
uint64_t bad_captures = 0;

void take_captured(uv_async_t *) {
    capture_begin_pass();
    uint32_t n = capture_waiting();
    for (uint32_t i = 0; i < n; i++) {
        if (std::find(std::begin(ids), std::end(ids), capture_waiting_at(i).id) == std::end(ids)) bad_captures++;
    }
    capture_release(n);
    captured += n;
}

double seconds_to_run() {
    const char *text = getenv("QEL_STRESS_SECONDS");
    return text != nullptr ? atof(text) : 2.0;
}

}  // namespace

class StressTest : public CoreTest {};

TEST_F(StressTest, ThreeThreadsShareTheBusAndTheMemory) {
    can_bus_delay = 0;
    hb_delay = 1000;
    deb_delay = 5;
    debug_log = true;
    ASSERT_EQ(log_open(log_path_default()), 0);
    ASSERT_EQ(uv_loop_init(&main_loop), 0);
    ASSERT_EQ(init_async(&main_loop, deliver_changes), 0);
    ASSERT_EQ(init_capture_async(&main_loop, take_captured), 0);
    capture_start();
    ASSERT_EQ(start_driver_threads(), 0);

    std::mt19937 random(12345);
    uint64_t commands = 0;
    uint64_t failed_commands = 0;
    // The run lasts its time at least, and on a slow machine until each
    // thread has done enough for the checks below to mean something.
    auto start = std::chrono::steady_clock::now();
    auto end = start + std::chrono::duration<double>(seconds_to_run());
    auto give_up = end + std::chrono::seconds(120);
    auto enough = [] { return delivered > 100 && captured > 100 && heartbeat_count() > 10; };
    for (auto now = start; now < end || (now < give_up && !enough()); now = std::chrono::steady_clock::now()) {
        for (int i = 0; i < 20; i++) {
            uint32_t id = ids[random() % (sizeof ids / sizeof ids[0])];
            core_frame f = make_frame(id, {static_cast<uint8_t>(random() % 3), static_cast<uint8_t>(random())},
                                      random() % 50 == 0 ? 0xFF : 8);
            if (random() % 40 == 0) f.bytes[15] ^= 0x5A;
            feed(f, 1 + random() % 3);
        }
        switch (random() % 8) {
        case 0:
            sim_bridge::fail_reads(random() % 4, static_cast<uint8_t>(1 + random() % 4));
            break;
        case 1:
            sim_bridge::fail_writes(random() % 3, 0x01);
            break;
        case 2: {
            status_snapshot s;
            bus_lock();
            snapshot_slot(static_cast<int>(random() % MEM_SLOTS), &s);
            bus_unlock();
            break;
        }
        case 3:
            bus_lock();
            clear_mem(random() % 2 == 0, random() % 2 == 0 ? -1 : static_cast<int32_t>(ids[random() % 18]));
            bus_unlock();
            break;
        case 4: {
            core_frame f = make_frame(0x4A1, {static_cast<uint8_t>(random())});
            bus_lock();
            memcpy(sim_buf, f.bytes, 16);
            simulate = 1;
            bus_unlock();
            break;
        }
        case 5:
            capture_stop();
            take_captured(nullptr);
            capture_start();
            break;
        default:
            break;
        }
        reset_command_fields();
        cmd_tft = static_cast<int32_t>(random() % 400) - 50;
        cmd_cop_light = static_cast<int32_t>(random() % 3) - 1;
        commands++;
        if (send_command() != 0) failed_commands++;
        reset_parameter_fields();
        write_param_num = static_cast<int32_t>(random());
        write_param_value[0] = static_cast<uint8_t>(random());
        commands++;
        if (write_parameter() != 0) failed_commands++;
        console_flush();
        uv_run(&main_loop, UV_RUN_NOWAIT);
    }

    EXPECT_GT(delivered, 100u);
    EXPECT_EQ(bad_deliveries, 0u);
    EXPECT_GT(news, 2u) << "the failed reads made runs of failed transfers";
    EXPECT_EQ(bad_news, 0u);
    EXPECT_GT(captured, 100u);
    EXPECT_EQ(bad_captures, 0u);
    EXPECT_EQ(sim_bridge::state().overlaps, 0u);

    // Every transmit frame reached the bus whole: its checksum holds.
    uint64_t transmits = 0;
    uint64_t beats = 0;
    for (const auto &w : sim_bridge::writes()) {
        if (w.bytes.size() != 17) continue;
        EXPECT_EQ(w.bytes[16], checksum(w.bytes.data() + 1, 15));
        if (w.bytes[3] == 0x07) {
            beats++;
        } else {
            transmits++;
        }
    }
    EXPECT_EQ(transmits, commands);
    EXPECT_GT(beats, 10u) << "the heartbeat got the bus while the receive thread polled back to back";
    EXPECT_GT(failed_commands, 0u);

    // The stop joins every thread, the log's writer included: none runs on
    // while the process exits and its static objects go.
    lifecycle_stop(stop_kind::stop);
    uint64_t reads = sim_bridge::reads();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(sim_bridge::reads(), reads) << "nothing polls after the stop";
    EXPECT_FALSE(log_is_open());
}

// Bus.read's copies, read without the bus lock while the receive thread
// rewrites the slot back to back, and queued commands written by the
// transmit thread meanwhile. Frame n of 0x4A1 carries n in all eight data
// bytes, and the slot's counter counts the frames: a copy taken in the
// middle of a write would show bytes or a counter of two frames.
TEST_F(StressTest, SlotCopiesAreWholeAndQueuedFramesGoOutInOrder) {
    const int frames = 20000;
    std::atomic<bool> done{false};
    std::atomic<uint64_t> copies{0};
    std::atomic<uint64_t> torn{0};
    std::atomic<int32_t> latest{0};
    std::thread reader([&] {
        status_snapshot s;
        while (!done.load()) {
            read_slot_copy(mem_position(0x4A1), &s);
            const msg_mem_struct &m = s.slot;
            bool whole = m.msg_id == 0 ? (m.counter == 0 && m.timestamp == 0)
                                       : (m.msg_id == 0x4A1 && m.timestamp != 0 && m.counter > 0);
            for (uint8_t b : m.msg_data) whole = whole && b == static_cast<uint8_t>(m.counter);
            if (!whole) torn++;
            latest.store(m.counter);
            copies++;
        }
    });
    ASSERT_EQ(start_driver_threads(), 0);
    uint32_t first = 0;
    uint32_t taken = 0;
    for (int n = 1; n <= frames; n++) {
        uint8_t b = static_cast<uint8_t>(n);
        feed(make_frame(0x4A1, {b, b, b, b, b, b, b, b}));
        if (n % 200 != 0) continue;
        reset_command_fields();
        cmd_tft = (n / 200) & 0xFF;
        uint32_t ticket = 0;
        ASSERT_EQ(queue_command(&ticket), 0);
        if (n == 200) first = ticket;
        for (transmit_result r; take_transmitted(&r); taken++) {
            EXPECT_EQ(r.ticket, first + taken);
            EXPECT_EQ(r.code, 0);
        }
        while (sim_bridge::pending() > 64) std::this_thread::yield();
    }
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (latest.load() < frames && std::chrono::steady_clock::now() < give_up) std::this_thread::yield();
    done = true;
    reader.join();
    join_driver_threads();
    EXPECT_EQ(latest.load(), frames);
    EXPECT_GT(copies.load(), 1000u);
    EXPECT_EQ(torn.load(), 0u);
    // Each queued command once, in order, and its result in order.
    std::vector<int> tfts;
    for (const auto &w : sim_bridge::writes()) {
        if (w.bytes.size() == 17 && w.bytes[3] == 0x04) tfts.push_back(w.bytes[8]);
    }
    ASSERT_EQ(tfts.size(), static_cast<size_t>(frames / 200));
    for (size_t i = 0; i < tfts.size(); i++) EXPECT_EQ(tfts[i], static_cast<int>((i + 1) & 0xFF)) << i;
    for (transmit_result r; take_transmitted(&r); taken++) {
        EXPECT_EQ(r.ticket, first + taken);
        EXPECT_EQ(r.code, 0);
    }
    EXPECT_EQ(taken, tfts.size());
    EXPECT_EQ(sim_bridge::state().overlaps, 0u);
}
