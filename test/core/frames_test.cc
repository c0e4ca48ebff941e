// Frame checksum, the register operations of start-up and the board check before them.
#include "core_fixture.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <net/if.h>
#include <sys/socket.h>

#include <algorithm>
#include <utility>
#include <vector>

#include <cerrno>

#include "bus.h"
#include "i2c_dev.h"
#include "mirror.h"
#include "i2c_dev_sim.h"

TEST(Checksum, ExamplesOfTheBridgeProtocol) {
    const uint8_t one_two[] = {0x01, 0x02};
    EXPECT_EQ(checksum(one_two, 2), 0x03);

    uint8_t bytes[15];
    memset(bytes, 0, sizeof bytes);
    bytes[0] = 0xFF;
    EXPECT_EQ(checksum(bytes, 15), 0xFF);  // a sum of 0xFF stays itself
    bytes[1] = 0x01;
    EXPECT_EQ(checksum(bytes, 15), 0x00);  // 0x100 -> two's complement
    bytes[2] = 0x01;
    EXPECT_EQ(checksum(bytes, 15), 0xFF);  // 0x101
    memset(bytes, 0, sizeof bytes);
    bytes[0] = 0xFA;
    bytes[1] = 0xFA;
    EXPECT_EQ(checksum(bytes, 15), 0x0C);  // 0x1F4

    memset(bytes, 0xFF, sizeof bytes);
    EXPECT_EQ(checksum(bytes, 15), 0x0F);  // 0xEF1
}

TEST(Checksum, NoBytesOrNegativeLengthIsZero) {
    const uint8_t bytes[] = {0x12, 0x34};
    EXPECT_EQ(checksum(bytes, 0), 0);
    EXPECT_EQ(checksum(bytes, -5), 0);
}

// Every kind of frame the driver sends, written over a dirty buffer: the
// worked frames of the bridge protocol, then the edges of each field.
TEST(Encoder, BuildsEveryTransmitFrameWhole) {
    using k = transmit_kind;
    const std::vector<std::pair<transmit_request, std::vector<uint8_t>>> cases = {
        {{k::command, {5, -1, -1, -1, -1}, {}}, {0x30, 0, 0, 0x04, 0xE0, 0, 0, 8, 0x05, 0, 0, 0, 0, 0, 0, 0, 0xF1}},
        {{k::command, {300, 0, 0, -1, -1}, {}}, {0x30, 0, 0, 0x04, 0xE0, 0, 0, 8, 0x2C, 0x06, 0, 0, 0, 0, 0, 0, 0xE2}},
        {{k::command, {-1, 1, 1, 1, 42}, {}}, {0x30, 0, 0, 0x04, 0xE0, 0, 0, 8, 0, 0x1B, 0x2A, 0, 0, 0, 0, 0, 0xCF}},
        {{k::parameter, {}, {3, {1, 2}}}, {0x30, 0, 0, 0x05, 0x60, 0, 0, 8, 0x03, 1, 2, 0, 0, 0, 0, 0, 0x73}},
        {{k::parameter, {}, {-1, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}},
         {0x30, 0, 0, 0x05, 0x60, 0, 0, 8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x9B}},
        {{k::heartbeat, {}, {}}, {0x30, 0, 0, 0x07, 0x60, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0x68}},
        {{k::command, {0, 1, -1, -1, 255}, {}}, {0x30, 0, 0, 0x04, 0xE0, 0, 0, 8, 0, 0x08, 0xFF, 0, 0, 0, 0, 0, 0x0D}},
        {{k::command, {0, 0, -1, -1, 999}, {}}, {0x30, 0, 0, 0x04, 0xE0, 0, 0, 8, 0, 0x04, 0, 0, 0, 0, 0, 0, 0xF0}},
        {{k::command, {-1, -1, -1, -1, -1}, {}}, {0x30, 0, 0, 0x04, 0xE0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0xEC}},
        {{k::command, {1, 2, 2, 0, 7}, {}}, {0x30, 0, 0, 0x04, 0xE0, 0, 0, 8, 0x01, 0, 0, 0, 0, 0, 0, 0, 0xED}},
        {{k::command, {INT32_MIN, -1, 0, -1, -1}, {}}, {0x30, 0, 0, 0x04, 0xE0, 0, 0, 8, 0, 0x02, 0, 0, 0, 0, 0, 0, 0xEE}},
        {{k::command, {-1, -1, -1, 1, -1}, {}}, {0x30, 0, 0, 0x04, 0xE0, 0, 0, 8, 0, 0x10, 0, 0, 0, 0, 0, 0, 0xFC}},
        {{k::command, {INT32_MAX, 0, 1, 1, 7}, {}}, {0x30, 0, 0, 0x04, 0xE0, 0, 0, 8, 0xFF, 0x17, 0, 0, 0, 0, 0, 0, 0xFE}},
        {{k::parameter, {}, {0x1234, {}}}, {0x30, 0, 0, 0x05, 0x60, 0, 0, 8, 0x34, 0, 0, 0, 0, 0, 0, 0, 0xA1}},
    };
    for (const auto &c : cases) {
        uint8_t out[TRANSMIT_BYTES];
        memset(out, 0xAA, sizeof out);
        encode_transmit_frame(c.first, out);
        EXPECT_EQ(std::vector<uint8_t>(out, out + sizeof out), c.second) << "case " << (&c - cases.data());
    }
    EXPECT_EQ(std::vector<uint8_t>(hb, hb + 16), std::vector<uint8_t>(cases[5].second.begin(), cases[5].second.end() - 1))
        << "the heartbeat frame as loaded, before its thread seals it";
}

class RegisterTest : public CoreTest {};

TEST_F(RegisterTest, WriteSelectAndReadBackTheBitRate) {
    sim_bridge::reset();
    EXPECT_EQ(write_register(REG_BAUD, BAUD_250K), 0);
    uint8_t value = 0;
    EXPECT_EQ(read_register(REG_BAUD, value), 0);
    EXPECT_EQ(value, BAUD_250K);
    EXPECT_EQ(select_register(REG_RECEIVE), 0);

    std::vector<sim_bridge::write_record> log = sim_bridge::writes();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].bytes, (std::vector<uint8_t>{0x03, 0x0F}));
    EXPECT_EQ(log[1].bytes, (std::vector<uint8_t>{0x03}));
    EXPECT_EQ(log[2].bytes, (std::vector<uint8_t>{0x40}));
}

TEST_F(RegisterTest, FailedReadLeavesTheOutputAndReturnsTheCode) {
    sim_bridge::controller_end();  // the simulated bus now answers with a NACK
    uint8_t value = 0x5A;
    EXPECT_EQ(read_register(REG_BAUD, value), BUS_NACK);
    EXPECT_EQ(value, 0x5A);
    EXPECT_EQ(data, BUS_NACK);
}

TEST_F(RegisterTest, SelectionFailureIsReturned) {
    sim_bridge::fail_select(0x04);
    EXPECT_EQ(select_register(REG_RECEIVE), 0x04);
    sim_bridge::fail_select(0);
    EXPECT_EQ(select_register(REG_RECEIVE), 0);
}

TEST(Board, TheRaspberryPi5FamilyIsRefused) {
    EXPECT_TRUE(board_refused("Raspberry Pi 5 Model B Rev 1.0"));
    EXPECT_TRUE(board_refused("Raspberry Pi 500 Rev 1.0"));
    EXPECT_TRUE(board_refused("Raspberry Pi Compute Module 5 Rev 1.0"));
    EXPECT_FALSE(board_refused("Raspberry Pi 4 Model B Rev 1.4"));
    EXPECT_FALSE(board_refused("Raspberry Pi Compute Module 4 Rev 1.0"));
    EXPECT_FALSE(board_refused(""));
}

TEST(KernelBus, ErrnoMapsOntoTheReasonCodes) {
    EXPECT_EQ(i2c_dev_reason(ENXIO), BUS_NACK);
    EXPECT_EQ(i2c_dev_reason(EREMOTEIO), BUS_NACK);
    EXPECT_EQ(i2c_dev_reason(ETIMEDOUT), BUS_CLKT);
    EXPECT_EQ(i2c_dev_reason(EIO), BUS_DATA);
}

// Linux's i2c-dev cuts a read or write of more than 8192 bytes to 8192 and
// returns that count (seen on the emulated Raspberry Pi: a read of 9000
// bytes from /dev/i2c-1 returns 8192); it does not refuse the call.
TEST_F(RegisterTest, TheEmulatedKernelCutsLongTransfersTo8192Bytes) {
    const i2c_dev_syscalls &sys = sim_bridge::emulated_i2c_dev;
    int fd = sys.open("/dev/i2c-1", O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(sys.ioctl(fd, I2C_SLAVE, 0x25), 0);
    static uint8_t bytes[9000];
    EXPECT_EQ(sys.read(fd, bytes, sizeof bytes), 8192);
    EXPECT_EQ(sys.write(fd, bytes, sizeof bytes), 8192);
    EXPECT_EQ(sys.close(fd), 0);
}

// The mirror on a datagram socket standing in for a CAN interface: the
// exact CAN frames, what is not sent, a reader that does not keep up, and
// an interface that goes away.
TEST(Mirror, SendsCanFramesCountsWhatItDoesNotSendAndEndsOnAFailedInterface) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, pair), 0);
    mirror_attach(pair[0], "test0");
    auto bridge_frame = [](uint16_t id, uint8_t length, std::vector<uint8_t> data) {
        std::vector<uint8_t> f(FRAME_BYTES, 0);
        f[2] = id >> 8;
        f[3] = id & 0xFF;
        f[FRAME_LENGTH_AT] = length;
        std::copy(data.begin(), data.end(), f.begin() + FRAME_DATA_AT);
        f[FRAME_CHECKSUM_AT] = checksum(f.data(), FRAME_CHECKSUM_AT);
        return f;
    };
    std::vector<uint8_t> bad = bridge_frame(0x1A1, 1, {7});
    bad[FRAME_CHECKSUM_AT] ^= 1;
    for (const auto &f : {bridge_frame(0x2C0, 3, {0x11, 0x22, 0x33, 0x44}), bad, bridge_frame(0x1A1, LEN_EMPTY, {}),
                          bridge_frame(0x800, 8, {1, 2, 3, 4, 5, 6, 7, 8}), bridge_frame(0x4A1, 12, {9, 9, 9, 9, 9, 9, 9, 9})}) {
        mirror_record(f.data());
    }
    const std::vector<std::vector<uint8_t>> expected = {
        {0xC0, 0x02, 0, 0, 3, 0, 0, 0, 0x11, 0x22, 0x33, 0, 0, 0, 0, 0},
        {0x00, 0x08, 0, 0x80, 8, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8},
        {0xA1, 0x04, 0, 0, 8, 0, 0, 12, 9, 9, 9, 9, 9, 9, 9, 9},
    };
    for (const auto &want : expected) {
        uint8_t got[32];
        ASSERT_EQ(recv(pair[1], got, sizeof got, MSG_DONTWAIT), 16);
        EXPECT_EQ(std::vector<uint8_t>(got, got + 16), want);
    }
    char iface[IFNAMSIZ];
    mirror_counts counts;
    mirror_state(iface, sizeof iface, &counts);
    EXPECT_STREQ(iface, "test0");
    EXPECT_EQ(counts.sent, 3u);
    EXPECT_EQ(counts.checksum_errors, 1u);
    EXPECT_EQ(counts.empty, 1u);

    std::vector<uint8_t> f = bridge_frame(0x2C1, 2, {5, 6});
    for (int i = 0; i < 5000; i++) mirror_record(f.data());  // nobody reads
    mirror_state(iface, sizeof iface, &counts);
    EXPECT_GT(counts.dropped, 0u);
    EXPECT_EQ(counts.sent + counts.dropped, 5003u);

    close(pair[1]);
    mirror_record(f.data());
    mirror_state(iface, sizeof iface, &counts);
    EXPECT_FALSE(mirror_running());
    EXPECT_STREQ(iface, "");
    EXPECT_EQ(fcntl(pair[0], F_GETFD), -1) << "the mirror closed its socket";
}
