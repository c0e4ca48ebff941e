// The slot table: identifier map, clearing, and the change queue.
#include <thread>

#include "core_fixture.h"

TEST(MemPosition, IdentifierMap) {
    const struct {
        uint32_t id;
        int pos;
    } cases[] = {{0x1A1, 0}, {0x2A1, 1}, {0x3A1, 2},  {0x421, 3},  {0x4A1, 4},  {0x2A2, 5},
                 {0x2C0, 6}, {0x2C1, 7}, {0x2C4, 8},  {0x2C5, 9},  {0x2C8, 10}, {0x2C9, 11},
                 {0x4E0, 12}, {0x700, 13}, {0x760, 13}, {0x7FF, 13}, {0x800, 14}, {0x6FF, 14},
                 {0, 14},     {0xFFF, 14}, {0xFFE, 15}, {0xFFD, 16}, {0xFFFFFFFFu, 14}};
    for (const auto &c : cases) EXPECT_EQ(mem_position(c.id), c.pos) << std::hex << c.id;
}

class MemoryTest : public CoreTest {
protected:
    void fill_all() {
        for (int pos = 0; pos < MEM_SLOTS; pos++) {
            PDO_memory[pos].timestamp = 1000 + static_cast<uint64_t>(pos);
            PDO_memory[pos].counter = pos + 1;
            PDO_memory[pos].msg_id = 0x100 + pos;
            memset(PDO_memory[pos].msg_data, 0xA0 + pos, 8);
        }
    }
    static bool cleared(int pos) {
        const msg_mem_struct &s = PDO_memory[pos];
        static const uint8_t zero[8] = {0};
        return s.timestamp == 0 && s.msg_id == 0 && memcmp(s.msg_data, zero, 8) == 0;
    }
};

TEST_F(MemoryTest, ClearAllKeepingCounters) {
    fill_all();
    clear_mem(true, -1);
    for (int pos = 0; pos < MEM_SLOTS; pos++) {
        EXPECT_TRUE(cleared(pos)) << pos;
        EXPECT_EQ(PDO_memory[pos].counter, pos + 1) << pos;
    }
}

TEST_F(MemoryTest, ClearAllWithCounters) {
    fill_all();
    clear_mem(false, -7);
    for (int pos = 0; pos < MEM_SLOTS; pos++) {
        EXPECT_TRUE(cleared(pos)) << pos;
        EXPECT_EQ(PDO_memory[pos].counter, 0) << pos;
    }
}

TEST_F(MemoryTest, ClearOneSlotByIdentifier) {
    fill_all();
    clear_mem(true, 0x2C0);
    EXPECT_TRUE(cleared(6));
    EXPECT_EQ(PDO_memory[6].counter, 7);
    for (int pos = 0; pos < MEM_SLOTS; pos++) {
        if (pos != 6) {
            EXPECT_FALSE(cleared(pos)) << pos;
        }
    }
    clear_mem(false, 0x123);  // unlisted: the "unk" statistic
    EXPECT_EQ(PDO_memory[POS_UNK].counter, 0);
    clear_mem(false, 0x7A5);  // heartbeat range: the "hb" statistic
    EXPECT_EQ(PDO_memory[POS_HB].counter, 0);
    EXPECT_EQ(PDO_memory[POS_ERR].counter, 17);
}

TEST_F(MemoryTest, CounterWrapsModulo2To32) {
    PDO_memory[4].counter = 2147483647;
    count_event(4);
    EXPECT_EQ(PDO_memory[4].counter, -2147483647 - 1);
}

TEST_F(MemoryTest, ChangesAreQueuedOncePerSlotInOrderOfFirstPost) {
    PDO_memory[6].msg_id = 0x2C0;
    EXPECT_TRUE(post_change(6, PDO_memory[6]));   // first post asks for a wake-up
    EXPECT_FALSE(post_change(0, PDO_memory[0]));  // one is already on its way
    EXPECT_FALSE(post_change(6, PDO_memory[6]));  // already pending: not queued twice
    EXPECT_FALSE(post_change(4, PDO_memory[4]));
    EXPECT_EQ(pending_changes(), 3);
    PDO_memory[6].msg_data[0] = 0x42;  // a later frame recorded in the pending slot
    refresh_change(6, PDO_memory[6]);

    EXPECT_TRUE(begin_wakeup());
    status_snapshot s;
    ASSERT_TRUE(take_change(&s));
    EXPECT_EQ(s.position, 6);
    EXPECT_EQ(s.slot.msg_data[0], 0x42);
    EXPECT_TRUE(post_change(6, PDO_memory[6]));  // taken, so a new change queues it again and wakes again
    ASSERT_TRUE(take_change(&s));
    EXPECT_EQ(s.position, 0);
    ASSERT_TRUE(take_change(&s));
    EXPECT_EQ(s.position, 4);
    ASSERT_TRUE(take_change(&s));
    EXPECT_EQ(s.position, 6);
    EXPECT_FALSE(take_change(&s));

    EXPECT_TRUE(begin_wakeup());   // the wake-up asked for by the last post
    EXPECT_FALSE(begin_wakeup());  // a wake-up nobody asked for
}

TEST_F(MemoryTest, QueueKeepsEveryChangeAcrossItsCountersWrap) {
    set_change_counters(0xFFFFFFFEu);
    for (int pos : {0, 4, 6, 9}) post_change(pos, PDO_memory[pos]);
    std::vector<int> taken;
    for (const status_snapshot &s : drain()) taken.push_back(s.position);
    EXPECT_EQ(taken, (std::vector<int>{0, 4, 6, 9}));
}

TEST_F(MemoryTest, ChangesPostedWhileTakenAreDeliveredOnceAndTheLastAlways) {
    const int32_t posts = 8000000;
    std::atomic<bool> posted{false};
    std::thread receiver([&] {
        for (int32_t i = 0; i < posts; i++) { count_event(4); post_change(4, PDO_memory[4]); }
        posted = true;
    });
    int32_t last = 0, repeats = 0;
    for (bool finished = false; !finished;) {
        finished = posted;
        for (status_snapshot s; take_change(&s); last = s.slot.counter) repeats += s.slot.counter == last;
    }
    receiver.join();
    EXPECT_EQ(repeats, 0);
    EXPECT_EQ(last, posts);
}

TEST_F(MemoryTest, PendingCopyFollowsTheSlotAndItsClearing) {
    PDO_memory[4].msg_id = 0x4A1;
    PDO_memory[4].msg_data[0] = 1;
    post_change(4, PDO_memory[4]);
    PDO_memory[9].msg_data[0] = 7;
    refresh_change(9, PDO_memory[9]);  // not pending: nothing is queued
    EXPECT_EQ(pending_changes(), 1);
    clear_mem(true, 0x4A1);
    count_event(POS_ERR);
    status_snapshot s;
    ASSERT_TRUE(take_change(&s));
    EXPECT_EQ(s.position, 4);
    EXPECT_EQ(s.slot.msg_id, 0) << "a pending slot that was cleared is delivered cleared";
    EXPECT_EQ(s.slot.msg_data[0], 0);
    EXPECT_EQ(s.stats[3], 1) << "the statistics are those of the moment of delivery";
    EXPECT_FALSE(take_change(&s));
}

TEST_F(MemoryTest, SnapshotCarriesTheStatistics) {
    PDO_memory[POS_HB].counter = 1;
    PDO_memory[POS_UNK].counter = 2;
    PDO_memory[POS_EMPTY].counter = 3;
    PDO_memory[POS_ERR].counter = 4;
    status_snapshot s;
    snapshot_slot(POS_UNK, &s);
    EXPECT_EQ(s.slot.counter, 2);
    EXPECT_EQ(s.stats[0], 1);
    EXPECT_EQ(s.stats[1], 2);
    EXPECT_EQ(s.stats[2], 3);
    EXPECT_EQ(s.stats[3], 4);
}
