// Starting the driver threads: a failed creation is reported, nothing runs
// until both threads exist, and a retry leaves exactly one of each.
#include <thread>

#include "core_fixture.h"
#include "lifecycle.h"

namespace {

int creations = 0;
int failures_left = 0;

int counting_create(uv_thread_t *tid, uv_thread_cb entry, void *arg) {
    creations++;
    if (failures_left > 0) {
        failures_left--;
        return UV_EAGAIN;
    }
    return uv_thread_create(tid, entry, arg);
}

size_t transmit_count() {
    size_t n = 0;
    for (const auto &w : sim_bridge::writes()) {
        if (w.bytes.size() == 17) n++;
    }
    return n;
}

}  // namespace

class ThreadStartTest : public CoreTest {};

TEST_F(ThreadStartTest, FailedCreationIsReportedAndRetriedWithoutDuplicates) {
    can_bus_delay = 2000;
    hb_delay = 10000;
    set_driver_thread_create(counting_create);

    failures_left = 1;  // the receive thread fails
    EXPECT_EQ(start_driver_threads(), UV_EAGAIN);
    EXPECT_EQ(creations, 1);

    // The receive thread is created now, the heartbeat thread fails.
    creations = 0;
    failures_left = 0;
    set_driver_thread_create([](uv_thread_t *tid, uv_thread_cb entry, void *arg) -> int {
        creations++;
        if (creations == 2) return UV_EAGAIN;
        return uv_thread_create(tid, entry, arg);
    });
    EXPECT_EQ(start_driver_threads(), UV_EAGAIN);
    EXPECT_EQ(creations, 2);
    uint64_t reads = sim_bridge::reads();
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(sim_bridge::reads(), reads) << "no thread touches the bus before both exist";
    EXPECT_EQ(transmit_count(), 0u);

    creations = 0;
    set_driver_thread_create(counting_create);
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(start_driver_threads(), 0);
    EXPECT_EQ(creations, 2) << "only the missing heartbeat and transmit threads are created";

    auto give_up = started + std::chrono::seconds(60);
    while ((transmit_count() < 8 || sim_bridge::reads() == reads) && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    size_t beats = transmit_count();
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    EXPECT_GE(beats, 8u);
    EXPECT_GT(sim_bridge::reads(), reads);
    // One heartbeat thread at 10 ms beats at most once per 10 ms; two would
    // beat twice as often.
    EXPECT_LE(beats, ms / 10 + 2) << beats << " heartbeats in " << ms << " ms";

    EXPECT_EQ(start_driver_threads(), 0);
    EXPECT_EQ(creations, 2) << "a started driver creates no further threads";

    // A stop ends and joins them; then start and stop again and again, with
    // the bus busy (the sanitizers watch this).
    lifecycle_stop(stop_kind::stop);
    reads = sim_bridge::reads();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(sim_bridge::reads(), reads) << "nothing polls after a stop";
    EXPECT_EQ(i2c_delay, 50000) << "the load-time settings are back";
    for (int i = 0; i < 50; i++) {
        i2c_delay = can_bus_delay = 0;
        hb_delay = 100 + i;
        creations = 0;
        ASSERT_EQ(start_driver_threads(), 0);
        EXPECT_EQ(creations, 3) << "the three threads anew";
        lifecycle_stop(stop_kind::stop);
    }
}
