// Times after 19 January 2038 03:14:07 UTC, the last second a signed 32-bit
// time_t holds. The driver runs on 32-bit ARM, where time_t, long and size_t
// are 32 bits unless the build asks for 64-bit times; these tests pass such
// instants in as values and check every conversion the core makes of them:
// the debug log's UTC message line and local date line, the decimal text of
// a slot's timestamp, the receive dump, and the debounce arithmetic.
#include <time.h>

#include <chrono>
#include <cinttypes>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core_fixture.h"
#include "bridge_link.h"
#include "diagnostics.h"

namespace {

constexpr int64_t kNsPerSecond = 1000000000;
constexpr int64_t kNsPerMs = 1000000;

constexpr int64_t kLast32 = 2147483647;        // 2038-01-19 03:14:07 UTC, a Tuesday
constexpr int64_t kFirstPast32 = 2147483648;   // 2038-01-19 03:14:08 UTC
constexpr int64_t kUnsigned32 = 4294967296;    // 2106-02-07 06:28:16 UTC, a Sunday
constexpr int64_t kLastNsSecond = 9223372036;  // 2262-04-11 23:47:16 UTC, a Friday

static_assert(sizeof(time_t) == 8, "these tests need the build's 64-bit time_t");
static_assert(sizeof(msg_mem_struct) == 24, "slot layout: 8-byte time, counter, identifier, 8 data bytes");
static_assert(offsetof(msg_mem_struct, timestamp) == 0, "the slot's time comes first");
static_assert(offsetof(status_snapshot, slot) % alignof(uint64_t) == 0,
              "the slot copy in a snapshot keeps the time 8-byte aligned");

void set_zone(const char *zone) {
    setenv("TZ", zone, 1);
    tzset();
}

std::string log_line(uint32_t id, uint8_t byte, uint64_t t, int64_t now_ns) {
    uint8_t frame[16] = {0};
    frame[2] = static_cast<uint8_t>(id >> 8);
    frame[3] = static_cast<uint8_t>(id);
    frame[6] = 1;
    frame[7] = byte;
    char out[256];
    size_t n = format_log_line(out, sizeof out, frame, t, now_ns);
    return std::string(out, n);
}

std::string date_line(int64_t now_ns) {
    char out[128];
    size_t n = format_log_date_line(out, sizeof out, now_ns);
    return std::string(out, n);
}

// The decimal text of a slot's timestamp, as status objects carry it.
std::string timestamp_text(uint64_t t) {
    char text[24];
    snprintf(text, sizeof text, "%" PRIu64, t);
    return text;
}

uint64_t now_ms() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
}

class Time2038Test : public ::testing::Test {
protected:
    void SetUp() override { set_zone("UTC"); }
    void TearDown() override { set_zone("UTC"); }
};

TEST_F(Time2038Test, LogLineAcrossThe32BitBoundaries) {
    // The same line, its reception time in milliseconds, at each instant.
    struct {
        int64_t now_ns;
        const char *stamp;
    } cases[] = {
        {kLast32 * kNsPerSecond + 999 * kNsPerMs, "2038-01-19 03:14:07.999"},
        {kFirstPast32 * kNsPerSecond, "2038-01-19 03:14:08.000"},
        {kFirstPast32 * kNsPerSecond + 1 * kNsPerMs + 999999, "2038-01-19 03:14:08.001"},
        {(kUnsigned32 - 1) * kNsPerSecond + 500 * kNsPerMs, "2106-02-07 06:28:15.500"},
        {kUnsigned32 * kNsPerSecond + 42 * kNsPerMs, "2106-02-07 06:28:16.042"},
        {INT64_MAX, "2262-04-11 23:47:16.854"},
    };
    for (const auto &c : cases) {
        uint64_t t = static_cast<uint64_t>(c.now_ns / kNsPerMs);
        EXPECT_EQ(log_line(0x2C0, 0x5A, t, c.now_ns),
                  std::string(c.stamp) + ": MsgID = 0x2c0, data = 5a, timestamp = " + timestamp_text(t) + "\n")
            << c.now_ns;
    }
    EXPECT_EQ(log_line(0x2C0, 0x5A, 2147483648000ULL, kFirstPast32 * kNsPerSecond),
              "2038-01-19 03:14:08.000: MsgID = 0x2c0, data = 5a, timestamp = 2147483648000\n")
        << "the reception time in full, not its low 32 bits (2147483648000 mod 2^32 is 1154564096)";
    EXPECT_EQ(log_line(0x1A1, 0x01, 9223372036854ULL, INT64_MAX),
              "2262-04-11 23:47:16.854: MsgID = 0x1a1, data = 01, timestamp = 9223372036854\n");
}

TEST_F(Time2038Test, LogLineIsUtcInAnyZoneAfter2038) {
    set_zone("XYZ+11");  // eleven hours west: local time is still 18 January 2038
    EXPECT_EQ(log_line(0x4A1, 0x07, 1, kFirstPast32 * kNsPerSecond + 250 * kNsPerMs),
              "2038-01-19 03:14:08.250: MsgID = 0x4a1, data = 07, timestamp = 1\n");
    set_zone("ABC-3");
    EXPECT_EQ(log_line(0x4A1, 0x07, 1, kUnsigned32 * kNsPerSecond),
              "2106-02-07 06:28:16.000: MsgID = 0x4a1, data = 07, timestamp = 1\n");
}

TEST_F(Time2038Test, DateLineInUtcAndLocalZonesAfter2038) {
    EXPECT_EQ(date_line(kLast32 * kNsPerSecond), "Current Date and Time: Tue Jan 19 03:14:07 2038\n");
    EXPECT_EQ(date_line(kFirstPast32 * kNsPerSecond + 999999999),
              "Current Date and Time: Tue Jan 19 03:14:08 2038\n");
    EXPECT_EQ(date_line(kUnsigned32 * kNsPerSecond), "Current Date and Time: Sun Feb  7 06:28:16 2106\n");
    EXPECT_EQ(date_line(INT64_MAX), "Current Date and Time: Fri Apr 11 23:47:16 2262\n");

    set_zone("ABC-3");
    EXPECT_EQ(date_line(kFirstPast32 * kNsPerSecond), "Current Date and Time: Tue Jan 19 06:14:08 2038\n");
    EXPECT_EQ(date_line(kLastNsSecond * kNsPerSecond), "Current Date and Time: Sat Apr 12 02:47:16 2262\n")
        << "local time crosses into the next day";
    set_zone("XYZ+11");
    EXPECT_EQ(date_line(kFirstPast32 * kNsPerSecond), "Current Date and Time: Mon Jan 18 16:14:08 2038\n")
        << "an instant past the boundary that is local time before it";
    EXPECT_EQ(date_line(kUnsigned32 * kNsPerSecond), "Current Date and Time: Sat Feb  6 19:28:16 2106\n");
}

TEST_F(Time2038Test, ReceptionClockIsTheWholeMillisecondCount) {
    // The clock itself cannot be set past 2038 here; what can be checked is
    // that the driver's readings are today's full counts, which already
    // need more than 32 bits in milliseconds and nanoseconds.
    uint64_t before = now_ms();
    uint64_t t = timestamp();
    int64_t ns = wall_clock_ns();
    uint64_t after = now_ms();
    EXPECT_GE(t, before);
    EXPECT_LE(t, after);
    EXPECT_GE(static_cast<uint64_t>(ns / kNsPerMs), before);
    EXPECT_LE(static_cast<uint64_t>(ns / kNsPerMs), after);
    EXPECT_GT(t, 4294967296ULL);
}

// ------------------------------------------------ slots and the receive cycle

// Slot 6 holds identifier 0x2C0, a debounced message.
constexpr int kDebounced = 6;
constexpr uint64_t k2to32 = 4294967296ULL;

class Time2038CycleTest : public CoreTest {
protected:
    void TearDown() override { debug_log = false; }

    // Reports the first frame of 0x2C0 so that the slot holds data 1 2 3.
    void prime() {
        cycle(make_frame(0x2C0, {1, 2, 3}));
        ASSERT_EQ(drain().size(), 1u);
    }

    // Stores `stored` as the slot's time, then receives the same data again:
    // returns whether the frame was reported.
    bool repeat_reports(uint64_t stored) {
        PDO_memory[kDebounced].timestamp = stored;
        cycle(make_frame(0x2C0, {1, 2, 3}));
        return !drain().empty();
    }
};

TEST_F(Time2038CycleTest, SlotTimeAndItsDecimalTextKeepAll64Bits) {
    const struct {
        uint64_t t;
        const char *text;
    } cases[] = {
        {2147483647999ULL, "2147483647999"},             // 2038-01-19 03:14:07.999
        {2147483648000ULL, "2147483648000"},             // 2038-01-19 03:14:08.000
        {4294967296042ULL, "4294967296042"},             // 2106-02-07 06:28:16.042
        {9223372036854ULL, "9223372036854"},             // 2262-04-11 23:47:16.854
        {18446744073709551615ULL, "18446744073709551615"},
    };
    status_snapshot s;
    for (const auto &c : cases) {
        PDO_memory[kDebounced].timestamp = c.t;
        PDO_memory[kDebounced].counter = 7;
        PDO_memory[kDebounced].msg_data[0] = 0x44;
        snapshot_slot(kDebounced, &s);
        EXPECT_EQ(s.slot.timestamp, c.t);
        EXPECT_EQ(timestamp_text(s.slot.timestamp), c.text);
        EXPECT_EQ(s.slot.counter, 7) << "the fields after the time are where they belong";
        EXPECT_EQ(s.slot.msg_data[0], 0x44);

        // The same through the change queue, as a delivery takes it.
        post_change(kDebounced, PDO_memory[kDebounced]);
        ASSERT_TRUE(take_change(&s));
        EXPECT_EQ(s.position, kDebounced);
        EXPECT_EQ(timestamp_text(s.slot.timestamp), c.text);
    }
}

TEST_F(Time2038CycleTest, DebounceElapsedTimeIsAnUnsigned64BitDifference) {
    deb_delay = 2000;
    prime();
    uint64_t now = now_ms();
    ASSERT_GT(now, k2to32) << "the clock's milliseconds need more than 32 bits";

    EXPECT_FALSE(repeat_reports(now_ms() - 1500)) << "1.5 s ago: within the 2 s window";
    EXPECT_TRUE(repeat_reports(now_ms() - 2500)) << "2.5 s ago: past the window";

    // A slot time after 2038, ahead of the clock (the clock was set back).
    // The unsigned difference wraps to nearly 2^64 and the frame reports;
    // a signed difference would be negative, and its low 32 bits would be
    // 500 ms: either would wrongly hold the frame back.
    uint64_t ahead = 0;
    while (ahead <= 2147483648000ULL) ahead += k2to32;
    uint64_t before = now_ms();
    uint64_t stored = before + ahead - 500;
    ASSERT_GT(stored, 2147483648000ULL);
    EXPECT_TRUE(repeat_reports(stored));
    uint64_t after = now_ms();
    EXPECT_GE(PDO_memory[kDebounced].timestamp, before) << "a report stamps the slot with the reception time";
    EXPECT_LE(PDO_memory[kDebounced].timestamp, after);
}

TEST_F(Time2038CycleTest, DebounceWindowIsTheUnsigned32BitValueOfDebDelay) {
    // -1 is a window of 2^32-1 ms, about 49.7 days: neither sign-extended
    // to 64 bits (a window that never ends) nor compared as negative.
    deb_delay = -1;
    prime();
    const uint64_t window = 4294967295ULL;
    EXPECT_FALSE(repeat_reports(now_ms() - window + 5000)) << "5 s before the window ends";
    // 5 s past the window: the elapsed time's low 32 bits are 4999 ms, so
    // 32-bit arithmetic would hold this frame back.
    EXPECT_TRUE(repeat_reports(now_ms() - window - 5000));

    deb_delay = INT32_MIN;  // 2^31 ms, about 24.9 days
    EXPECT_FALSE(repeat_reports(now_ms() - 2147483648ULL + 5000));
    EXPECT_TRUE(repeat_reports(now_ms() - 2147483648ULL - 5000));
}

TEST_F(Time2038CycleTest, DebugDumpsPrintTheWholeReceptionTime) {
    deb_delay = 2000;
    prime();
    debug_log = true;
    uint64_t ahead = 0;
    while (ahead <= 2147483648000ULL) ahead += k2to32;

    // Reported once with a slot time after 2038 ahead of the clock, once
    // with one 2.5 s in the past.
    for (uint64_t stored : {now_ms() + ahead - 500, now_ms() - 2500}) {
        testing::internal::CaptureStdout();
        bool reported = repeat_reports(stored);
        console_flush();
        std::string out = testing::internal::GetCapturedStdout();
        ASSERT_TRUE(reported) << out;
        uint64_t t = PDO_memory[kDebounced].timestamp;
        EXPECT_GT(t, k2to32);
        const std::string head = "QEL Driver -- received message with ID = 0x2c0, data =  1  2  3  0  0  0  0  0 \n";
        const std::string tail = ", timestamp = " + std::to_string(t) + ", status changed = 6\n";
        EXPECT_EQ(out.compare(0, head.size(), head), 0) << out;
        ASSERT_GE(out.size(), tail.size()) << out;
        EXPECT_EQ(out.compare(out.size() - tail.size(), tail.size(), tail), 0)
            << "the dump's time is the slot's, all 64 bits of it\n"
            << out;
    }

    // Suppressed: the debouncing notice, and the slot time stays.
    uint64_t stored = now_ms();
    testing::internal::CaptureStdout();
    bool reported = repeat_reports(stored);
    console_flush();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(reported);
    EXPECT_EQ(out, "QEL Driver -- message ID = 0x2c0, data = 1, debouncing\n");
    EXPECT_EQ(PDO_memory[kDebounced].timestamp, stored);
}

}  // namespace
