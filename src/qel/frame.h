// The bridge's frames and registers, as they cross the I2C bus.
//
// A received frame is FRAME_BYTES long: the identifier in bytes 2-3, the
// length code in byte 6 (LEN_EMPTY when the bridge had nothing), the data in
// bytes 7-14 and the checksum of bytes 0-14 in byte 15. A transmit frame is
// the transmit register followed by the same layout, so every offset is one
// higher and its checksum, over bytes 1-15, sits in byte 16.
//
// The receive loop, the senders, capture and the simulated bridge all read
// and build frames through this file alone.
#pragma once

#include <cstdint>

constexpr uint8_t REG_BAUD = 0x03;
constexpr uint8_t REG_TRANSMIT = 0x30;
constexpr uint8_t REG_RECEIVE = 0x40;
constexpr uint8_t BAUD_250K = 0x0F;

constexpr uint32_t FRAME_BYTES = 16;
constexpr uint32_t TRANSMIT_BYTES = FRAME_BYTES + 1;
constexpr int FRAME_LENGTH_AT = 6;
constexpr int FRAME_DATA_AT = 7;
constexpr int FRAME_CHECKSUM_AT = 15;
constexpr uint8_t LEN_EMPTY = 0xFF;
// Identifiers the bridge uses for its own markers, never seen on the bus.
constexpr uint32_t ID_EMPTY = 0xFFE;
constexpr uint32_t ID_ERROR = 0xFFD;
constexpr uint32_t ID_UNKNOWN = 0xFFF;

// The bridge's checksum: the byte sum, two's complement once it passes 255.
uint8_t checksum(const uint8_t *bytes, int32_t len);

inline uint32_t frame_id(const uint8_t *frame) {
    return static_cast<uint32_t>(frame[2]) * 256u + frame[3];
}

// Whether byte 15 holds the checksum of bytes 0-14.
inline bool frame_checksum_ok(const uint8_t *frame) {
    return checksum(frame, FRAME_CHECKSUM_AT) == frame[FRAME_CHECKSUM_AT];
}

// What a frame read from the bridge is: its "nothing waiting" marker (the
// length code LEN_EMPTY, or identifier ID_EMPTY), its error marker ID_ERROR
// (dropped uncounted), its unknown-frame marker ID_UNKNOWN (counted with the
// unknown identifiers, but no frame of the bus: identifiers there end at
// 0x7FF), or a CAN frame from the bus. The receive loop sorts
// and the mirror sends by this one rule, so that the mirror puts on the
// interface exactly the frames the statistics take for bus traffic.
//
// A "nothing waiting" marker whose checksum is wrong is `invalid`: no
// bridge sends one. It is what a bridge gives that has lost its register
// selection (power cycled, replugged), or a bus that nobody drives: sixteen
// bytes of 0xFF, whose length code reads LEN_EMPTY. Counting it as "empty"
// would leave the driver deaf for good without a word.
enum class frame_kind : uint8_t { empty, error_marker, unknown_marker, can, invalid };

inline frame_kind kind_of(const uint8_t *frame) {
    uint32_t id = frame_id(frame);
    if (frame[FRAME_LENGTH_AT] == LEN_EMPTY || id == ID_EMPTY) {
        return frame_checksum_ok(frame) ? frame_kind::empty : frame_kind::invalid;
    }
    if (id == ID_ERROR) return frame_kind::error_marker;
    if (id == ID_UNKNOWN) return frame_kind::unknown_marker;
    return frame_kind::can;
}

// Lays out an empty transmit frame of `id` with the length code `length` in
// `out` (TRANSMIT_BYTES); its data goes to bytes 8-15.
void begin_transmit_frame(uint8_t *out, uint32_t id, uint8_t length);
// Writes the checksum of bytes 1-15 of a transmit frame into byte 16.
void seal_transmit_frame(uint8_t *out);
