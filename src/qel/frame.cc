#include "frame.h"

#include <cstring>

uint8_t checksum(const uint8_t *bytes, int32_t len) {
    if (len <= 0) return 0;
    uint32_t sum = 0;
    for (int32_t i = 0; i < len; i++) sum += bytes[i];
    if (sum > 255) return static_cast<uint8_t>(0u - sum);
    return static_cast<uint8_t>(sum);
}

void begin_transmit_frame(uint8_t *out, uint32_t id, uint8_t length) {
    memset(out, 0, TRANSMIT_BYTES);
    out[0] = REG_TRANSMIT;
    out[1 + 2] = static_cast<uint8_t>(id >> 8);
    out[1 + 3] = static_cast<uint8_t>(id);
    out[1 + FRAME_LENGTH_AT] = length;
}

void seal_transmit_frame(uint8_t *out) {
    out[1 + FRAME_CHECKSUM_AT] = checksum(out + 1, FRAME_CHECKSUM_AT);
}
