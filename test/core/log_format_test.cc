// The debug log's text: message lines (UTC, to the millisecond), the date
// line of the header (local time, ctime layout), and the file as start-up
// opens it. Times are passed in as values, so every expectation is fixed;
// the expected calendar texts were worked out separately and written here.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include "diagnostics.h"
#include "driver_api.h"
#include "lifecycle.h"
#include "line_ring.h"

namespace {

constexpr int64_t kNsPerSecond = 1000000000;
constexpr int64_t kNsPerMs = 1000000;

// 2040-02-29 12:34:56 UTC, a Wednesday: a leap day after January 2038.
constexpr int64_t kLeapDay2040 = 2214131696;
// 2024-02-01 09:05:03 UTC, a Thursday with a one-digit day of month.
constexpr int64_t kFeb2024 = 1706778303;
// 1999-12-31 23:59:59 UTC, a Friday.
constexpr int64_t kEve2000 = 946684799;
// 2038-01-19 03:14:08 UTC: the first second past a signed 32-bit count.
constexpr int64_t kPast2038 = 2147483648;
// 2100-01-01 00:00:00 UTC, a Friday.
constexpr int64_t kYear2100 = 4102444800;

void set_zone(const char *zone) {
    setenv("TZ", zone, 1);
    tzset();
}

// A bridge frame in a larger buffer whose bytes past the frame are set, so
// that a line printing memory beyond byte 15 shows it.
struct padded_frame {
    uint8_t bytes[48];
};

padded_frame make(uint32_t id, std::initializer_list<uint8_t> data, int len = -1) {
    padded_frame f;
    memset(f.bytes, 0xEE, sizeof f.bytes);
    memset(f.bytes, 0, 16);
    f.bytes[2] = static_cast<uint8_t>(id >> 8);
    f.bytes[3] = static_cast<uint8_t>(id);
    f.bytes[6] = static_cast<uint8_t>(len < 0 ? static_cast<int>(data.size()) : len);
    int i = 0;
    for (uint8_t b : data) {
        if (i < 8) f.bytes[7 + i] = b;
        i++;
    }
    f.bytes[15] = 0x5A;  // the checksum plays no part in the line
    return f;
}

std::string line(const padded_frame &f, uint64_t t, int64_t now_ns) {
    char out[512];
    memset(out, 'Z', sizeof out);
    size_t n = format_log_line(out, sizeof out, f.bytes, t, now_ns);
    EXPECT_LT(n, sizeof out);
    EXPECT_EQ(out[n], '\0') << "the length returned is the length of the text";
    EXPECT_EQ(strlen(out), n);
    return std::string(out, n);
}

std::string date_line(int64_t now_ns) {
    char out[256];
    memset(out, 'Z', sizeof out);
    size_t n = format_log_date_line(out, sizeof out, now_ns);
    EXPECT_LT(n, sizeof out);
    EXPECT_EQ(strlen(out), n);
    return std::string(out, n);
}

class LogLineTest : public ::testing::Test {
protected:
    void SetUp() override { set_zone("UTC"); }
    void TearDown() override { set_zone("UTC"); }
};

TEST_F(LogLineTest, IdentifierAndBytesInLowerCaseHex) {
    padded_frame f = make(0x0A1, {0x05, 0xFF, 0x0A});
    int64_t now = kLeapDay2040 * kNsPerSecond + 789 * kNsPerMs + 123456;
    EXPECT_EQ(line(f, 2214131696788ULL, now),
              "2040-02-29 12:34:56.789: MsgID = 0xa1, data = 05, ff, 0a, timestamp = 2214131696788\n");

    EXPECT_EQ(line(make(0xFFFF, {0xAB}), 10, now),
              "2040-02-29 12:34:56.789: MsgID = 0xffff, data = ab, timestamp = 10\n")
        << "the decimal time after hex bytes stays decimal";
    EXPECT_EQ(line(make(0x005, {0x00}), 0, now),
              "2040-02-29 12:34:56.789: MsgID = 0x5, data = 00, timestamp = 0\n")
        << "no width or leading zeros for the identifier";
    EXPECT_EQ(line(make(0x2C9, {0x10, 0x01}), 255, now),
              "2040-02-29 12:34:56.789: MsgID = 0x2c9, data = 10, 01, timestamp = 255\n");
}

TEST_F(LogLineTest, LengthCodesDecideHowManyBytesArePrinted) {
    int64_t now = kFeb2024 * kNsPerSecond + 42 * kNsPerMs;
    const char *head = "2024-02-01 09:05:03.042: MsgID = 0x1a1, data = ";
    uint64_t t = 1706778303041ULL;

    EXPECT_EQ(line(make(0x1A1, {1, 0x0A, 0xFF}, 0), t, now),
              std::string(head) + "timestamp = 1706778303041\n")
        << "length code 0: the time follows ', data = ' directly";
    EXPECT_EQ(line(make(0x1A1, {1, 0x0A, 0xFF, 4, 5}, 3), t, now),
              std::string(head) + "01, 0a, ff, timestamp = 1706778303041\n");
    EXPECT_EQ(line(make(0x1A1, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}, 8), t, now),
              std::string(head) + "11, 22, 33, 44, 55, 66, 77, 88, timestamp = 1706778303041\n");

    const std::string eight = std::string(head) + "11, 22, 33, 44, 55, 66, 77, 88, timestamp = 1706778303041\n";
    for (int len : {9, 15, 200, 254}) {
        EXPECT_EQ(line(make(0x1A1, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}, len), t, now), eight)
            << "length code " << len << " prints the frame's 8 data bytes and nothing past them";
    }
}

TEST_F(LogLineTest, MillisecondsHaveThreeDigits) {
    padded_frame f = make(0x4A1, {});
    const std::string tail = ": MsgID = 0x4a1, data = timestamp = 5\n";
    EXPECT_EQ(line(f, 5, kFeb2024 * kNsPerSecond + 7 * kNsPerMs), "2024-02-01 09:05:03.007" + tail);
    EXPECT_EQ(line(f, 5, kFeb2024 * kNsPerSecond + 7 * kNsPerMs + 999999), "2024-02-01 09:05:03.007" + tail)
        << "milliseconds are truncated, not rounded";
    EXPECT_EQ(line(f, 5, kFeb2024 * kNsPerSecond), "2024-02-01 09:05:03.000" + tail);
    EXPECT_EQ(line(f, 5, kFeb2024 * kNsPerSecond + 999999999), "2024-02-01 09:05:03.999" + tail);
    EXPECT_EQ(line(f, 5, kFeb2024 * kNsPerSecond + 70 * kNsPerMs), "2024-02-01 09:05:03.070" + tail);
}

TEST_F(LogLineTest, UtcCalendarBeforeAndAfter2038) {
    padded_frame f = make(0x3A1, {0x01});
    const std::string tail = ": MsgID = 0x3a1, data = 01, timestamp = 1\n";
    EXPECT_EQ(line(f, 1, kEve2000 * kNsPerSecond + 999 * kNsPerMs), "1999-12-31 23:59:59.999" + tail);
    EXPECT_EQ(line(f, 1, (kEve2000 + 1) * kNsPerSecond), "2000-01-01 00:00:00.000" + tail);
    EXPECT_EQ(line(f, 1, kPast2038 * kNsPerSecond + 1 * kNsPerMs), "2038-01-19 03:14:08.001" + tail);
    EXPECT_EQ(line(f, 1, kLeapDay2040 * kNsPerSecond + 789 * kNsPerMs), "2040-02-29 12:34:56.789" + tail);
    EXPECT_EQ(line(f, 1, (kLeapDay2040 + 41104) * kNsPerSecond), "2040-03-01 00:00:00.000" + tail)
        << "the day after the leap day";
    EXPECT_EQ(line(f, 1, kYear2100 * kNsPerSecond + 500 * kNsPerMs), "2100-01-01 00:00:00.500" + tail);
}

TEST_F(LogLineTest, ReceptionTimeIsAFull64BitDecimal) {
    padded_frame f = make(0x2A1, {0x7F});
    int64_t now = kLeapDay2040 * kNsPerSecond;
    const std::string head = "2040-02-29 12:34:56.000: MsgID = 0x2a1, data = 7f, timestamp = ";
    EXPECT_EQ(line(f, 4294967296ULL, now), head + "4294967296\n");
    EXPECT_EQ(line(f, 4102444800123ULL, now), head + "4102444800123\n");
    EXPECT_EQ(line(f, 18446744073709551615ULL, now), head + "18446744073709551615\n");
}

TEST_F(LogLineTest, MessageLinesStayInUtcWhateverTheLocalZone) {
    set_zone("ABC-3");  // three hours east of UTC, no zone database needed
    EXPECT_EQ(line(make(0x1A1, {0x01}), 9, kLeapDay2040 * kNsPerSecond + 789 * kNsPerMs),
              "2040-02-29 12:34:56.789: MsgID = 0x1a1, data = 01, timestamp = 9\n");
    set_zone("XYZ+11");
    EXPECT_EQ(line(make(0x1A1, {0x01}), 9, kEve2000 * kNsPerSecond),
              "1999-12-31 23:59:59.000: MsgID = 0x1a1, data = 01, timestamp = 9\n");
}

// ------------------------------------------------------------ date line

TEST_F(LogLineTest, DateLineHasTheCtimeLayout) {
    EXPECT_EQ(date_line(kFeb2024 * kNsPerSecond + 999999999),
              "Current Date and Time: Thu Feb  1 09:05:03 2024\n")
        << "a one-digit day is preceded by two blanks; only whole seconds count";
    EXPECT_EQ(date_line(kLeapDay2040 * kNsPerSecond + 789 * kNsPerMs),
              "Current Date and Time: Wed Feb 29 12:34:56 2040\n");
    EXPECT_EQ(date_line(kEve2000 * kNsPerSecond), "Current Date and Time: Fri Dec 31 23:59:59 1999\n");
    EXPECT_EQ(date_line(kPast2038 * kNsPerSecond), "Current Date and Time: Tue Jan 19 03:14:08 2038\n");
    EXPECT_EQ(date_line(kYear2100 * kNsPerSecond), "Current Date and Time: Fri Jan  1 00:00:00 2100\n");
    EXPECT_EQ(date_line(0), "Current Date and Time: Thu Jan  1 00:00:00 1970\n");
}

TEST_F(LogLineTest, DateLineFollowsTheLocalZone) {
    set_zone("ABC-3");
    EXPECT_EQ(date_line(kLeapDay2040 * kNsPerSecond), "Current Date and Time: Wed Feb 29 15:34:56 2040\n");
    EXPECT_EQ(date_line(kEve2000 * kNsPerSecond), "Current Date and Time: Sat Jan  1 02:59:59 2000\n")
        << "local time crosses into the next day, month and year";
    set_zone("XYZ+11");
    EXPECT_EQ(date_line(kFeb2024 * kNsPerSecond), "Current Date and Time: Wed Jan 31 22:05:03 2024\n");
}

TEST_F(LogLineTest, DateLineAgreesWithCtimeOverTwoCenturies) {
    for (const char *zone : {"UTC", "ABC-3", "XYZ+11:30"}) {
        set_zone(zone);
        // A step that is no multiple of a day or week walks every weekday,
        // month, day of month and hour.
        for (int64_t s = 0; s < kYear2100 + 86400 * 400; s += 86400 * 13 + 3607) {
            time_t seconds = static_cast<time_t>(s);
            char reference[64];
            ASSERT_NE(ctime_r(&seconds, reference), nullptr);
            ASSERT_EQ(date_line(s * kNsPerSecond + 123456789), std::string("Current Date and Time: ") + reference)
                << "zone " << zone << ", second " << s;
        }
    }
}

// ------------------------------------------------------ the file itself

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class LogFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        set_zone("UTC");
        char pattern[] = "/tmp/qel-log-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/log.txt";
        saved_[0] = i2c_delay;
        saved_[1] = can_bus_delay;
        saved_[2] = hb_delay;
        saved_[3] = deb_delay;
    }
    void TearDown() override {
        unlink(path_.c_str());
        rmdir(dir_.c_str());
        i2c_delay = saved_[0];
        can_bus_delay = saved_[1];
        hb_delay = saved_[2];
        deb_delay = saved_[3];
    }
    std::string dir_;
    std::string path_;
    int32_t saved_[4];
};

TEST_F(LogFileTest, HeaderThenLineSevenArrivesWithTheFirstMessageLine) {
    i2c_delay = 0;
    can_bus_delay = 1000;
    hb_delay = -1;
    deb_delay = 300;
    ASSERT_EQ(log_open(path_.c_str()), 0);
    EXPECT_EQ(read_file(path_),
              "QEL Driver Log File\nVersion: " QEL_VERSION "\nI2C Delay Cycle: 0us\nCAN BUS Delay Cycle: 1000us\n"
              "HEARTBIT Delay Cycle: -1us\nDEBOUNCING: 300ms\n")
        << "lines 1-6 are flushed at once, line 7 is not";

    padded_frame f = make(0x0A1, {0x05, 0xFF});
    int64_t before = wall_clock_ns();
    log_message_line(f.bytes, 1234);
    ASSERT_TRUE(log_flush(5000));
    std::string text = read_file(path_);
    std::string lines[9];
    std::istringstream in(text);
    int count = 0;
    while (count < 9 && std::getline(in, lines[count])) count++;
    ASSERT_EQ(count, 8) << text;
    EXPECT_EQ(lines[5], "DEBOUNCING: 300ms");
    EXPECT_EQ(lines[6].rfind("Current Date and Time: ", 0), 0u) << lines[6];
    EXPECT_EQ(lines[6].size(), strlen("Current Date and Time: Thu Feb  1 09:05:03 2024"));
    EXPECT_EQ(text.back(), '\n');
    // The line is written at the time of writing, taken after `before`.
    char expected_prefix[64];
    time_t s = static_cast<time_t>(before / kNsPerSecond);
    struct tm utc;
    gmtime_r(&s, &utc);
    strftime(expected_prefix, sizeof expected_prefix, "%Y-%m-%d %H:%M:", &utc);
    EXPECT_EQ(lines[7].rfind(expected_prefix, 0), 0u) << lines[7];
    EXPECT_EQ(lines[7].substr(23), ": MsgID = 0xa1, data = 05, ff, timestamp = 1234");
}

TEST_F(LogFileTest, DefaultHeaderAndReopeningTruncates) {
    {
        std::ofstream old(path_);
        old << "an earlier run's content\nthat must go\n";
    }
    i2c_delay = 50000;
    can_bus_delay = 20000;
    hb_delay = 500000;
    deb_delay = 2000;
    ASSERT_EQ(log_open(path_.c_str()), 0);
    const std::string header =
        "QEL Driver Log File\nVersion: " QEL_VERSION "\nI2C Delay Cycle: 50000us\nCAN BUS Delay Cycle: 20000us\n"
        "HEARTBIT Delay Cycle: 500000us\nDEBOUNCING: 2000ms\n";
    EXPECT_EQ(read_file(path_), header);
    padded_frame f = make(0x4A1, {1});
    log_message_line(f.bytes, 1);
    ASSERT_TRUE(log_flush(5000));

    // A second opening while the file is open starts it afresh.
    i2c_delay = -7;
    ASSERT_EQ(log_open(path_.c_str()), 0);
    EXPECT_EQ(read_file(path_),
              "QEL Driver Log File\nVersion: " QEL_VERSION "\nI2C Delay Cycle: -7us\nCAN BUS Delay Cycle: 20000us\n"
              "HEARTBIT Delay Cycle: 500000us\nDEBOUNCING: 2000ms\n");
    log_message_line(f.bytes, 2);
    ASSERT_TRUE(log_flush(5000));
    std::string text = read_file(path_);
    EXPECT_EQ(text.find("QEL Driver Log File"), text.rfind("QEL Driver Log File")) << "one header only";
    EXPECT_EQ(text.find("timestamp = 1\n"), std::string::npos) << "the first run's line is gone";
    EXPECT_NE(text.find("MsgID = 0x4a1, data = 01, timestamp = 2\n"), std::string::npos) << text;
}

TEST_F(LogFileTest, MissingDirectoryReportsAndDiscardsLines) {
    std::string missing = dir_ + "/no-such-dir/log.txt";
    testing::internal::CaptureStdout();
    int rc = log_open(missing.c_str());
    padded_frame f = make(0x4A1, {1});
    log_message_line(f.bytes, 1);
    console_flush();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(out, "QEL Driver -- Error opening log file\nQEL Driver -- Log file " + missing +
                       ": No such file or directory\n")
        << "one report with its reason, nothing for the discarded line";
    EXPECT_FALSE(log_is_open());
    struct stat st;
    EXPECT_NE(stat(missing.c_str(), &st), 0);

    // The next opening of a good path works again.
    ASSERT_EQ(log_open(path_.c_str()), 0);
    EXPECT_EQ(read_file(path_).rfind("QEL Driver Log File\n", 0), 0u);
}

TEST_F(LogFileTest, StartOpensTheFileThatQelLogPathNames) {
    i2c_delay = 0;
    debug_log = true;
    setenv("QEL_LOG_PATH", path_.c_str(), 1);
    testing::internal::CaptureStdout();
    int rc = driver_start();
    console_flush();
    std::string out = testing::internal::GetCapturedStdout();
    unsetenv("QEL_LOG_PATH");
    lifecycle_stop(stop_kind::failed_start);
    debug_log = false;
    ASSERT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("QEL Driver -- Log file: " + path_ + "\n"), std::string::npos) << out;
    EXPECT_EQ(read_file(path_).rfind("QEL Driver Log File\n", 0), 0u);
    EXPECT_STREQ(log_path_for_start(), QEL_LOG_PATH) << "without the variable, the fixed path again";
    // open()'s logPath comes before the variable, for as long as it is given.
    setenv("QEL_LOG_PATH", path_.c_str(), 1);
    ASSERT_EQ(log_path_give("/given/qel_cc_log.txt"), 0);
    EXPECT_STREQ(log_path_for_start(), "/given/qel_cc_log.txt");
    log_path_give("");
    EXPECT_STREQ(log_path_for_start(), path_.c_str());
    unsetenv("QEL_LOG_PATH");
    EXPECT_EQ(log_path_give(std::string(PATH_MAX, 'x').c_str()), 1) << "longer than the driver takes";
}

}  // namespace

// ------------------------------------------------------ the queues

namespace {

// Line i: 64 bytes, line feed included.
std::string numbered(int i) {
    std::string text = "line " + std::to_string(100 + i) + " ";
    return text + std::string(63 - text.size(), 'x') + "\n";
}

}  // namespace

// The console's ring: a line that does not fit is counted, and the count
// comes with the lines taken before the gap, told once.
TEST(LineRingTest, LinesThatDoNotFitAreCountedWhereTheyAreMissing) {
    static char text[256];  // 4 lines
    static LineRing ring(text, sizeof text);
    EXPECT_TRUE(ring.idle());
    EXPECT_TRUE(ring.push(numbered(0).data(), 64)) << "the first line of a batch wakes the reader";
    EXPECT_FALSE(ring.push(numbered(1).data(), 64));
    for (int i = 2; i < 7; i++) ring.push(numbered(i).data(), 64);  // 4-6 do not fit
    char out[512];
    uint64_t dropped = 0;
    ASSERT_EQ(ring.take(out, 100, &dropped), 64u) << "whole lines only";
    EXPECT_EQ(dropped, 0u);
    ring.push(numbered(7).data(), 64);
    ASSERT_EQ(ring.take(out, sizeof out, &dropped), 192u);
    EXPECT_EQ(std::string(out, 192), numbered(1) + numbered(2) + numbered(3));
    EXPECT_EQ(dropped, 3u);
    ASSERT_EQ(ring.take(out, sizeof out, &dropped), 64u);
    EXPECT_EQ(std::string(out, 64), numbered(7));
    EXPECT_EQ(dropped, 0u);
    EXPECT_TRUE(ring.idle());
}

// ------------------------------------------ a file that stalls, or fills

namespace {

// A file system that hangs until it is let go.
std::atomic<bool> hanging{false};
ssize_t hanging_write(int fd, const void *text, size_t len) {
    while (hanging.load()) usleep(1000);
    return write(fd, text, len);
}

// A tmpfs with `fs_limit` bytes for the file: a write takes what fits and
// refuses the rest; the part of a line cut back off frees its room.
off_t fs_limit = 0;
ssize_t tmpfs_write(int fd, const void *text, size_t len) {
    struct stat st;
    off_t room = fstat(fd, &st) == 0 ? fs_limit - st.st_size : 0;
    if (room > 0) return write(fd, text, std::min(len, static_cast<size_t>(room)));
    errno = ENOSPC;
    return -1;
}

// The message lines of a log, by their reception times.
std::vector<uint64_t> times_in(const std::string &log) {
    std::vector<uint64_t> times;
    for (size_t at = 0; (at = log.find("timestamp = ", at)) != std::string::npos; at++) {
        times.push_back(std::stoull(log.substr(at + 12)));
    }
    return times;
}

}  // namespace

// The receive thread never waits for the file: what the queue cannot hold
// is dropped, and the console says how many lines.
TEST_F(LogFileTest, AHangingFileSystemCostsLinesAndTheirNumberIsSaid) {
    console_flush();
    ASSERT_EQ(log_open(path_.c_str()), 0);
    log_set_writer(hanging_write);
    hanging = true;
    padded_frame f = make(0x4A1, {1});
    constexpr uint64_t kLines = 6000;  // more than the queue's 256 KiB hold
    for (uint64_t t = 0; t < kLines; t++) log_message_line(f.bytes, 10000 + t);
    hanging = false;
    ASSERT_TRUE(log_flush(5000));
    log_set_writer(nullptr);
    testing::internal::CaptureStdout();
    console_flush();
    std::string out = testing::internal::GetCapturedStdout();
    std::vector<uint64_t> times = times_in(read_file(path_));
    ASSERT_GT(times.size(), 0u);
    ASSERT_LT(times.size(), kLines);
    // The first lines, and those that came after the writer took a batch
    // into its hanging write: in order, none twice.
    EXPECT_EQ(times[0], 10000u);
    for (size_t i = 1; i < times.size(); i++) ASSERT_GT(times[i], times[i - 1]) << "in order";
    EXPECT_LT(times.back(), 10000 + kLines);
    EXPECT_EQ(out, "QEL Driver -- " + std::to_string(kLines - times.size()) +
                       " log file lines dropped: the log file did not take them in time\n");
}

// Each line meets room for part of it: the failure is told once, and the
// count once the file takes a line again; the file holds whole lines. A
// console too full to queue another line loses neither.
TEST_F(LogFileTest, AFullFileSystemTellsTheFailureOnceAndTheLossOnce) {
    console_flush();
    for (int i = 0; i < 20000; i++) console_line(MSG_LOG_OPEN_FAILED);
    ASSERT_EQ(log_open(path_.c_str()), 0);
    padded_frame f = make(0x4A1, {1});
    log_message_line(f.bytes, 10);
    ASSERT_TRUE(log_flush(5000));
    struct stat st;
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    char line[160];
    fs_limit = st.st_size + 2 * static_cast<off_t>(format_log_line(line, sizeof line, f.bytes, 11, 0)) + 30;
    log_set_writer(tmpfs_write);
    for (uint64_t t = 11; t <= 30; t++) {
        if (t == 30) fs_limit = 1 << 20;
        log_message_line(f.bytes, t);
        ASSERT_TRUE(log_flush(5000)) << t;
    }
    log_set_writer(nullptr);
    testing::internal::CaptureStdout();
    console_flush();
    std::string out = testing::internal::GetCapturedStdout();
    std::string told = "QEL Driver -- Log file " + path_ + ": No space left on device\n"
                       "QEL Driver -- 17 log file lines lost: No space left on device\n";
    EXPECT_EQ(out.substr(0, told.size()), told);
    EXPECT_NE(out.find(" console lines dropped"), std::string::npos) << "the console was full";
    std::string log = read_file(path_);
    EXPECT_EQ(times_in(log), (std::vector<uint64_t>{10, 11, 12, 30}));
    EXPECT_EQ(log.back(), '\n');
    EXPECT_EQ(log.find("\n\n"), std::string::npos);
}
