// The transmit queue under a main thread that queues at every moment of
// the transmit thread's cycle: while it writes, as it goes to sleep, and
// long after. No frame waits for a wake-up that never comes, and every one
// is written once, in the order queued, its result taken in that order.
#include <chrono>
#include <random>
#include <thread>

#include "core_fixture.h"
#include "transmit.h"

class TransmitTest : public CoreTest {};

TEST_F(TransmitTest, FramesQueuedAtAnyMomentAreWrittenOnceInOrder) {
    constexpr uint32_t FRAMES = 3000;
    rearm_transmitter();
    std::thread thread(transmitter, nullptr);
    std::mt19937 random(7);
    uint32_t queued = 0;
    uint32_t told = 0;
    uint32_t first_ticket = 0;
    auto take = [&] {
        transmit_result done;
        while (take_transmitted(&done)) {
            ASSERT_EQ(done.ticket, first_ticket + told);
            ASSERT_EQ(done.code, 0);
            told++;
        }
    };
    while (queued < FRAMES) {
        // A burst of up to five frames; then a pause of 0 to 300 us, or a
        // wait for all of them, which a lost wake-up would leave waiting.
        for (uint32_t burst = random() % 6; burst > 0 && queued < FRAMES; burst--) {
            uint8_t frame[TRANSMIT_BYTES] = {0x30};
            frame[8] = static_cast<uint8_t>(queued);
            frame[9] = static_cast<uint8_t>(queued >> 8);
            uint32_t ticket = 0;
            if (transmit_queue(frame, false, &ticket) != 0) break;
            if (queued == 0) first_ticket = ticket;
            ASSERT_EQ(ticket, first_ticket + queued);
            queued++;
        }
        bool all = random() % 3 == 0;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        do {
            std::this_thread::sleep_for(std::chrono::microseconds(all ? 20 : random() % 300));
            take();
        } while (all && told < queued && std::chrono::steady_clock::now() < deadline);
        if (all) {
            ASSERT_EQ(told, queued) << "a frame waited for a wake-up that never came";
        }
    }
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         told < FRAMES && std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
        take();
    }
    request_transmit_stop();
    thread.join();
    ASSERT_EQ(told, FRAMES);
    std::vector<uint32_t> written;
    for (const auto &w : sim_bridge::writes()) {
        if (w.bytes.size() == TRANSMIT_BYTES) written.push_back(w.bytes[8] | w.bytes[9] << 8);
    }
    ASSERT_EQ(written.size(), FRAMES);
    for (uint32_t i = 0; i < FRAMES; i++) ASSERT_EQ(written[i], i) << "frame " << i;
}
