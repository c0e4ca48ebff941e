// The receive cycle: statistics, checksum, enable flags and the three
// message classes, and the capture of every frame read, on the simulated
// bridge with instant transfers.
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "capture.h"
#include "core_fixture.h"
#include "diagnostics.h"
#include "mirror.h"

class ReceiveTest : public CoreTest {};

// With a mirror on a datagram socket standing in for a CAN interface: it
// sends the frames the statistics take for bus traffic and counts as they do.
TEST_F(ReceiveTest, StatisticsCountEachKindOfFrame) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, pair), 0);
    mirror_attach(pair[0], "test0");
    listen_cycle();                                          // nothing queued: empty frame
    cycle(make_frame(0x1A1, {1, 2}, 0xFF));                  // length code 0xFF: empty
    cycle(make_frame(0xFFE, {1}));                           // 0xFFE: empty
    cycle(make_frame(0x123, {1}));                           // unlisted: unk
    cycle(make_frame(0xFFF, {1}));                           // 0xFFF: unk, a marker
    cycle(make_frame(0xFFD, {1}));                           // 0xFFD: dropped, not counted
    cycle(make_frame(0x765, {1}));                           // heartbeat range: hb
    core_frame bad_hb = make_frame(0x765, {1});
    bad_hb.bytes[15] ^= 0x01;
    cycle(bad_hb);                                           // hb and err
    core_frame bad = make_frame(0x1A1, {1});
    bad.bytes[15] ^= 0x01;
    cycle(bad);                                              // err
    core_frame undriven;
    memset(undriven.bytes, 0xFF, sizeof undriven.bytes);
    cycle(undriven);                                         // no frame a bridge sends: err
    EXPECT_EQ(sim_bridge::writes().size(), 1u) << "the selection of start-up only";
    listen_cycle();                                          // the bridge set up again: bit rate,
    listen_cycle();                                          // receive register
    sim_bridge::fail_reads(2, 0x02);
    EXPECT_EQ(listen_cycle(), READ_RETRY_MIN_US);            // failed read: err, pause of 1 ms
    listen_cycle();
    listen_cycle();
    can_bus_delay = 5000;
    EXPECT_EQ(listen_cycle(), 5000) << "or the poll delay when that is longer";

    EXPECT_EQ(stat(POS_HB), 2);
    EXPECT_EQ(stat(POS_UNK), 2);
    EXPECT_EQ(stat(POS_EMPTY), 3);
    EXPECT_EQ(stat(POS_ERR), 5);
    EXPECT_EQ(PDO_memory[0].counter, 0) << "a frame with a wrong checksum is not recorded";
    EXPECT_EQ(PDO_memory[0].msg_id, 0);
    EXPECT_EQ(PDO_memory[POS_HB].msg_id, 0) << "heartbeats are never stored";
    EXPECT_TRUE(drain().empty());

    mirror_counts counts;
    char iface[IFNAMSIZ];
    mirror_state(iface, sizeof iface, &counts);
    mirror_stop();
    EXPECT_EQ(counts.empty, static_cast<uint64_t>(stat(POS_EMPTY)));
    EXPECT_EQ(counts.checksum_errors, 3u) << "the two bad checksums and the undriven bus; the failed reads are no frames";
    std::vector<uint32_t> sent;
    uint32_t got[8];  // a can_frame, its identifier first
    while (recv(pair[1], got, sizeof got, MSG_DONTWAIT) == 16) sent.push_back(got[0]);
    close(pair[1]);
    EXPECT_EQ(sent, (std::vector<uint32_t>{0x123, 0x765})) << "no marker goes out";
    EXPECT_EQ(counts.sent, 2u);
}

TEST_F(ReceiveTest, IdentifierIsBytesTwoAndThreeOnly) {
    core_frame f = make_frame(0x1A1, {9});
    f.bytes[0] = 0x12;
    f.bytes[1] = 0x34;
    f.bytes[15] = checksum(f.bytes, 15);
    cycle(f);
    EXPECT_EQ(PDO_memory[0].msg_id, 0x1A1);
    EXPECT_EQ(PDO_memory[0].counter, 1);
}

TEST_F(ReceiveTest, DisabledPositionIsDroppedAfterTheChecksum) {
    cycle(make_frame(0x421, {1, 2, 3}));
    EXPECT_EQ(PDO_memory[3].counter, 0);
    core_frame bad = make_frame(0x421, {1});
    bad.bytes[15] ^= 0xFF;
    cycle(bad);
    EXPECT_EQ(stat(POS_ERR), 1);
    EXPECT_TRUE(drain().empty());
}

TEST_F(ReceiveTest, CyclicSlotReportsFirstFrameAndChangesOnly) {
    cycle(make_frame(0x1A1, {1, 2, 3, 4, 5, 6, 7, 8}));
    std::vector<status_snapshot> got = drain();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].position, 0);
    EXPECT_EQ(got[0].slot.counter, 1);
    uint64_t first = PDO_memory[0].timestamp;
    EXPECT_GT(first, 1700000000000u);

    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    cycle(make_frame(0x1A1, {1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_TRUE(drain().empty());
    EXPECT_EQ(PDO_memory[0].counter, 2);
    EXPECT_GT(PDO_memory[0].timestamp, first) << "a cyclic slot keeps the time of the latest frame";

    cycle(make_frame(0x1A1, {1, 2, 3, 4, 5, 6, 7, 9}));  // last byte changed
    got = drain();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].slot.msg_data[7], 9);
}

TEST_F(ReceiveTest, CyclicComparesAllEightBytesWhateverTheLengthCode) {
    cycle(make_frame(0x3A1, {1, 2, 3, 4, 5, 6, 7, 8}, 2));
    drain();
    cycle(make_frame(0x3A1, {1, 2, 3, 4, 5, 6, 7, 0}, 2));
    EXPECT_EQ(drain().size(), 1u);
    EXPECT_EQ(PDO_memory[2].msg_data[7], 0);
}

TEST_F(ReceiveTest, DebouncedSlotWithinAndAfterTheWindow) {
    deb_delay = 150;
    cycle(make_frame(0x2C0, {1, 2, 3, 4}));
    ASSERT_EQ(drain().size(), 1u) << "a cleared slot (timestamp 0) always reports";
    uint64_t reported_at = PDO_memory[6].timestamp;

    cycle(make_frame(0x2C0, {1, 2, 3, 4}));
    EXPECT_TRUE(drain().empty()) << "same bytes 0-2 within the window";
    EXPECT_EQ(PDO_memory[6].counter, 2);
    EXPECT_EQ(PDO_memory[6].timestamp, reported_at) << "suppressed: timestamp unchanged";

    cycle(make_frame(0x2C0, {1, 2, 3, 9, 9, 9}));
    EXPECT_TRUE(drain().empty()) << "changes in bytes 3-7 alone are not reported in the window";
    EXPECT_EQ(PDO_memory[6].msg_data[3], 9) << "but they are stored";

    cycle(make_frame(0x2C0, {1, 2, 4}));
    EXPECT_EQ(drain().size(), 1u) << "a change in bytes 0-2 reports at once";

    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    cycle(make_frame(0x2C0, {1, 2, 4}));
    EXPECT_EQ(drain().size(), 1u) << "same data after the window reports again";
}

TEST_F(ReceiveTest, DebounceComparesWithThePreviousFrameNotTheLastReport) {
    deb_delay = 100000;
    cycle(make_frame(0x2A1, {5, 5, 5}));
    drain();
    cycle(make_frame(0x2A1, {6, 5, 5}));
    EXPECT_EQ(drain().size(), 1u);
    cycle(make_frame(0x2A1, {6, 5, 5}));
    EXPECT_TRUE(drain().empty());
}

TEST_F(ReceiveTest, NegativeDebounceWindowIsAHugeUnsignedWindow) {
    deb_delay = -1;
    cycle(make_frame(0x2C9, {1}));
    EXPECT_EQ(drain().size(), 1u) << "a cleared slot is decades past even a 2^32-1 ms window";
    cycle(make_frame(0x2C9, {1}));
    EXPECT_TRUE(drain().empty());
}

TEST_F(ReceiveTest, EventSlotReportsEveryFrame) {
    for (int i = 0; i < 3; i++) cycle(make_frame(0x4A1, {7, 7}));
    EXPECT_EQ(PDO_memory[4].counter, 3);
    std::vector<status_snapshot> got = drain();
    ASSERT_EQ(got.size(), 1u) << "one slot, pending once, delivered with its latest content";
    EXPECT_EQ(got[0].slot.counter, 3);
}

TEST_F(ReceiveTest, ChangesInSeveralSlotsAreEachDeliveredInOrder) {
    cycle(make_frame(0x4A1, {1}));
    cycle(make_frame(0x1A1, {2}));
    cycle(make_frame(0x2C4, {3}));
    cycle(make_frame(0x4A1, {4}));
    std::vector<status_snapshot> got = drain();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].position, 4);
    EXPECT_EQ(got[0].slot.msg_data[0], 4);
    EXPECT_EQ(got[1].position, 0);
    EXPECT_EQ(got[2].position, 8);
}

TEST_F(ReceiveTest, SimulatedFrameReplacesTheBusRead) {
    core_frame f = make_frame(0x2C0, {1, 2, 3, 4, 5, 6, 7, 8});
    memcpy(sim_buf, f.bytes, 16);
    simulate = 1;
    feed(make_frame(0x4A1, {1}));
    uint64_t reads_before = sim_bridge::reads();
    listen_cycle();
    EXPECT_EQ(sim_bridge::reads(), reads_before);
    EXPECT_EQ(simulate, 0);
    EXPECT_EQ(PDO_memory[6].msg_data[7], 8);
    EXPECT_EQ(sim_bridge::pending(), 1u) << "the bridge's frame waits for the next poll";
}

TEST_F(ReceiveTest, FailedReadsDoNotConsumeFrames) {
    feed(make_frame(0x4A1, {1}));
    sim_bridge::fail_reads(3, 0x01);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(listen_cycle(), READ_RETRY_MIN_US);
        EXPECT_EQ(listen_cycle(), READ_RETRY_MIN_US) << "the settle time, at least the retry pause";
        listen_cycle();
    }
    EXPECT_EQ(listen_cycle(), 0);
    EXPECT_EQ(stat(POS_ERR), 3);
    EXPECT_EQ(PDO_memory[4].counter, 1);
    std::vector<std::vector<uint8_t>> regs;
    for (const sim_bridge::write_record &w : sim_bridge::writes()) regs.push_back(w.bytes);
    std::vector<std::vector<uint8_t>> once = {{0x03, 0x0F}, {0x40}};
    EXPECT_EQ(regs, (std::vector<std::vector<uint8_t>>{{0x40}, once[0], once[1], once[0], once[1], once[0], once[1]}))
        << "start-up's selection, then the set-up before each read after a failed one";
}

// The main thread that falls a whole table behind still hears a beginning
// and an end in turn.
TEST_F(ReceiveTest, LinkNewsAlternateAfterFallingBehind) {
    link_news n;
    while (take_link_news(&n)) {
    }
    sim_bridge::fail_reads(1, 0x01);
    listen_cycle();
    ASSERT_TRUE(take_link_news(&n));
    EXPECT_FALSE(n.answering);
    for (int cycle = 0; cycle < 3 + 8 * 4; cycle++) {  // its end, then eight more runs: 17 news
        if (cycle % 4 == 3) sim_bridge::fail_reads(1, 0x01);
        listen_cycle();
    }
    ASSERT_TRUE(take_link_news(&n));
    EXPECT_TRUE(n.answering) << "a beginning after a beginning";
}

// ---------------------------------------------------------------- capture

class CaptureTest : public CoreTest {
protected:
    void TearDown() override {
        capture_stop();
        capture_release(capture_waiting());
    }
};

TEST_F(CaptureTest, EveryFrameReadIsTakenWhateverBecomesOfIt) {
    capture_start();
    listen_cycle();                                  // empty poll: counted only
    cycle(make_frame(0x421, {1, 2}));                // disabled slot
    core_frame bad = make_frame(0x1A1, {3});
    bad.bytes[15] ^= 0x01;
    cycle(bad);                                      // wrong checksum
    cycle(make_frame(0x123, {4}, 12));               // unlisted, length code 12
    cycle(make_frame(0x765, {}));                    // heartbeat range
    core_frame undriven;
    memset(undriven.bytes, 0xFF, sizeof undriven.bytes);
    cycle(undriven);                                 // no empty poll: a fault
    core_frame sim = make_frame(0x4A1, {5});
    memcpy(sim_buf, sim.bytes, 16);
    simulate = 1;
    listen_cycle();                                  // simulated, before the set-up
    listen_cycle();                                  // the set-up: no frame
    listen_cycle();
    sim_bridge::fail_reads(1, 0x01);
    listen_cycle();                                  // failed read: no frame

    ASSERT_EQ(capture_waiting(), 6u);
    const uint16_t ids[] = {0x421, 0x1A1, 0x123, 0x765, 0xFFFF, 0x4A1};
    const uint8_t lengths[] = {2, 1, 12, 0, 0xFF, 1};
    const uint8_t flags[] = {0, CAPTURE_CHECKSUM_ERROR, 0, 0, CAPTURE_CHECKSUM_ERROR, CAPTURE_SIMULATED};
    uint64_t now_us = static_cast<uint64_t>(wall_clock_ns() / 1000);
    for (uint32_t i = 0; i < 6; i++) {
        const captured_frame &f = capture_waiting_at(i);
        EXPECT_EQ(f.id, ids[i]);
        EXPECT_EQ(f.length, lengths[i]);
        EXPECT_EQ(f.flags, flags[i]);
        EXPECT_LE(f.time_us, now_us);
        EXPECT_GT(f.time_us + 5000000, now_us);
    }
    EXPECT_EQ(capture_waiting_at(2).data[0], 4);
    capture_counts counts = capture_take_counts();
    EXPECT_EQ(counts.empty, 1u);
    EXPECT_EQ(counts.dropped, 0u);

    capture_stop();
    cycle(make_frame(0x4A1, {6}));
    EXPECT_EQ(capture_waiting(), 6u) << "nothing is taken once the capture stopped";
}

TEST_F(CaptureTest, FullRingDropsAndCountsThenTakesAgain) {
    capture_start();
    feed(make_frame(0x4A1, {7}), CAPTURE_RING_FRAMES + 3);
    for (uint32_t i = 0; i < CAPTURE_RING_FRAMES + 3; i++) listen_cycle();
    EXPECT_EQ(capture_waiting(), CAPTURE_RING_FRAMES);
    EXPECT_EQ(capture_take_counts().dropped, 3u);
    capture_release(10);
    cycle(make_frame(0x4A1, {8}));
    ASSERT_EQ(capture_waiting(), CAPTURE_RING_FRAMES - 9);
    EXPECT_EQ(capture_waiting_at(CAPTURE_RING_FRAMES - 10).data[0], 8);
}
