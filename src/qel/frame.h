// The bridge's frames and registers, as they cross the I2C bus.
//
// A received frame is FRAME_BYTES long: the identifier in bytes 2-3, the
// length code in byte 6 (LEN_EMPTY when the bridge had nothing), the data in
// bytes 7-14 and the checksum of bytes 0-14 in byte 15. A transmit frame is
// the transmit register followed by the same layout, so every offset is one
// higher and its checksum, over bytes 1-15, sits in byte 16.
//
// The receive loop, the senders, capture and the simulated bridge all read
// and build frames through this file alone; every frame the driver sends
// comes out of encode_transmit_frame, which the core tests hold to the
// protocol's bytes without a bus.
#pragma once

#include <cstdint>

constexpr uint8_t REG_BAUD = 0x03;
constexpr uint8_t REG_TRANSMIT = 0x30;
constexpr uint8_t REG_RECEIVE = 0x40;
constexpr uint8_t BAUD_250K = 0x0F;

constexpr uint32_t FRAME_BYTES = 16;
constexpr uint32_t TRANSMIT_BYTES = FRAME_BYTES + 1;
constexpr int FRAME_ID_HIGH_AT = 2;
constexpr int FRAME_ID_LOW_AT = 3;
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
    return static_cast<uint32_t>(frame[FRAME_ID_HIGH_AT]) * 256u + frame[FRAME_ID_LOW_AT];
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

// ------------------------------------------------------------ transmit

// Where things sit in a transmit frame: the bridge frame's places, one on.
constexpr int TX_REGISTER_AT = 0;
constexpr int TX_FRAME_AT = 1;
constexpr int TX_ID_HIGH_AT = TX_FRAME_AT + FRAME_ID_HIGH_AT;
constexpr int TX_ID_LOW_AT = TX_FRAME_AT + FRAME_ID_LOW_AT;
constexpr int TX_LENGTH_AT = TX_FRAME_AT + FRAME_LENGTH_AT;
constexpr int TX_DATA_AT = TX_FRAME_AT + FRAME_DATA_AT;
constexpr int TX_CHECKSUM_AT = TX_FRAME_AT + FRAME_CHECKSUM_AT;
constexpr int DATA_BYTES = 8;

// The three frames the driver sends and their length codes. Commands and
// parameters always announce eight data bytes, however many carry a value.
constexpr uint32_t ID_COMMAND = 0x4E0;
constexpr uint32_t ID_PARAMETER = 0x560;
constexpr uint32_t ID_HEARTBEAT = 0x760;
constexpr uint8_t DLC_COMMAND = 8;
constexpr uint8_t DLC_PARAMETER = 8;
constexpr uint8_t DLC_HEARTBEAT = 1;
constexpr int HB_DATA_AT = 0;
constexpr uint8_t HB_DATA = 0x00;  // the heartbeat's one data byte

// A command's data bytes: the TFT, the flags, the Read CFG parameter number.
constexpr int CMD_TFT_AT = 0;
constexpr int CMD_FLAGS_AT = 1;
constexpr int CMD_PARM_NUM_AT = 2;
// The flags byte takes the Read CFG request first, then the COP Light bits
// OR-ed in; "on" is the COP Light bit together with its "on" bit.
constexpr uint8_t FLAG_READ_CFG_ALL = 0x04;
constexpr uint8_t FLAG_READ_CFG_ONE = 0x08;
constexpr uint8_t FLAG_COP_LIGHT = 0x02;
constexpr uint8_t FLAG_COP_LIGHT_ON = 0x01;
constexpr uint8_t FLAG_COP_COLOR = 0x10;

// The command field values that act; -1, and any value not named here,
// leaves its part of the frame at 0.
constexpr int32_t FIELD_NOT_SET = -1;
constexpr int32_t READ_CFG_ALL = 0;
constexpr int32_t READ_CFG_ONE = 1;
constexpr int32_t COP_LIGHT_OFF = 0;
constexpr int32_t COP_LIGHT_ON = 1;
constexpr int32_t COP_COLOR_SET = 1;

// A parameter's data bytes: its number's low 8 bits, then the value bytes.
constexpr int PARAM_NUM_AT = 0;
constexpr int PARAM_VALUE_AT = 1;
constexpr int PARAM_VALUE_BYTES = DATA_BYTES - PARAM_VALUE_AT;

struct command_request {
    int32_t tft;
    int32_t read_cfg;
    int32_t cop_light;
    int32_t cop_light_color;
    int32_t parm_num;
};

struct parameter_request {
    int32_t num;
    uint8_t value[PARAM_VALUE_BYTES];
};

enum class transmit_kind : uint8_t { command, parameter, heartbeat };

// What to send: `command` counts for a command, `parameter` for a
// parameter; a heartbeat has nothing that varies.
struct transmit_request {
    transmit_kind kind;
    command_request command;
    parameter_request parameter;
};

// Builds the whole transmit frame of `request` in `out`, checksum included;
// nothing of what `out` held before survives. Reads and writes nothing else,
// so it runs on any thread, and the senders keep their locking to themselves.
void encode_transmit_frame(const transmit_request &request, uint8_t (&out)[TRANSMIT_BYTES]);
