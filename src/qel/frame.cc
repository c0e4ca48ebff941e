#include "frame.h"

#include <cstring>

uint8_t checksum(const uint8_t *bytes, int32_t len) {
    if (len <= 0) return 0;
    uint32_t sum = 0;
    for (int32_t i = 0; i < len; i++) sum += bytes[i];
    if (sum > 255) return static_cast<uint8_t>(0u - sum);
    return static_cast<uint8_t>(sum);
}

namespace {

uint8_t low_byte(int32_t value) { return static_cast<uint8_t>(value); }

uint8_t command_flags(const command_request &command) {
    uint8_t flags = 0;
    if (command.read_cfg == READ_CFG_ALL) {
        flags = FLAG_READ_CFG_ALL;
    } else if (command.read_cfg == READ_CFG_ONE) {
        flags = FLAG_READ_CFG_ONE;
    }
    if (command.cop_light == COP_LIGHT_OFF) {
        flags |= FLAG_COP_LIGHT;
    } else if (command.cop_light == COP_LIGHT_ON) {
        flags |= FLAG_COP_LIGHT | FLAG_COP_LIGHT_ON;
    }
    if (command.cop_light_color == COP_COLOR_SET) flags |= FLAG_COP_COLOR;
    return flags;
}

void encode_command(const command_request &command, uint8_t *data) {
    if (command.tft >= 0) data[CMD_TFT_AT] = low_byte(command.tft);
    data[CMD_FLAGS_AT] = command_flags(command);
    if (command.read_cfg == READ_CFG_ONE) data[CMD_PARM_NUM_AT] = low_byte(command.parm_num);
}

void encode_parameter(const parameter_request &parameter, uint8_t *data) {
    data[PARAM_NUM_AT] = low_byte(parameter.num);
    memcpy(data + PARAM_VALUE_AT, parameter.value, PARAM_VALUE_BYTES);
}

void begin_frame(uint8_t *out, uint32_t id, uint8_t length) {
    memset(out, 0, TRANSMIT_BYTES);
    out[TX_REGISTER_AT] = REG_TRANSMIT;
    out[TX_ID_HIGH_AT] = static_cast<uint8_t>(id >> 8);
    out[TX_ID_LOW_AT] = static_cast<uint8_t>(id);
    out[TX_LENGTH_AT] = length;
}

}  // namespace

void encode_transmit_frame(const transmit_request &request, uint8_t (&out)[TRANSMIT_BYTES]) {
    uint8_t *data = out + TX_DATA_AT;
    switch (request.kind) {
    case transmit_kind::command:
        begin_frame(out, ID_COMMAND, DLC_COMMAND);
        encode_command(request.command, data);
        break;
    case transmit_kind::parameter:
        begin_frame(out, ID_PARAMETER, DLC_PARAMETER);
        encode_parameter(request.parameter, data);
        break;
    case transmit_kind::heartbeat:
        begin_frame(out, ID_HEARTBEAT, DLC_HEARTBEAT);
        data[HB_DATA_AT] = HB_DATA;
        break;
    }
    out[TX_CHECKSUM_AT] = checksum(out + TX_FRAME_AT, FRAME_CHECKSUM_AT);
}
