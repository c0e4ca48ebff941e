#include "argument_rules.h"

#include "messages.h"

namespace {

constexpr int32_t INT32_TOP = 2147483647;
constexpr int NO_POSITION = -1;

}  // namespace

// Negative delays are taken by the add-on (no pause); open() refuses them.
const arg_rule start_rules[START_ARGS] = {
    {"i2cDelay", arg_kind::integer, 0, INT32_TOP, "µs", MSG_START_ARG1, nullptr, false, NO_POSITION, 0},
    {"canBusDelay", arg_kind::integer, 0, INT32_TOP, "µs", MSG_START_ARG2, nullptr, false, NO_POSITION, 0},
    {"heartbeat", arg_kind::integer, 0, INT32_TOP, "µs (0: no heartbeat)", MSG_START_ARG3, nullptr, false, NO_POSITION, 0},
    {"debounce", arg_kind::integer, 0, INT32_TOP, "ms", MSG_START_ARG4, nullptr, false, NO_POSITION, 0},
    {"enabledIds", arg_kind::identifiers, 0, 0, nullptr, MSG_START_ARG5, nullptr, false, NO_POSITION, 0},
    {"cyclicIds", arg_kind::identifiers, 0, 0, nullptr, MSG_START_ARG6, nullptr, false, NO_POSITION, 0},
    {"debug", arg_kind::boolean, 0, 1, nullptr, MSG_START_ARG7, nullptr, false, NO_POSITION, 0},
};

// The values that act, as the command frame carries them: one byte of TFT,
// Read CFG 0 (all) or 1 (one parameter), COP Light 0 (off) or 1 (on), the
// colour bit 1, and the parameter number of a Read CFG of one parameter.
const arg_rule command_rules[COMMAND_ARGS] = {
    {"tft", arg_kind::integer, 0, 255, nullptr, MSG_INT_ARG1, MSG_BAD_TFT, true, NO_POSITION, 0},
    {"readCfg", arg_kind::integer, 0, 1, nullptr, MSG_INT_ARG2, nullptr, false, NO_POSITION, 0},
    {"copLight", arg_kind::integer, 0, 1, nullptr, MSG_INT_ARG3, nullptr, false, NO_POSITION, 0},
    {"copLightColor", arg_kind::integer, 1, 1, nullptr, MSG_INT_ARG4, nullptr, false, NO_POSITION, 0},
    {"parameter", arg_kind::integer, 0, 255, nullptr, MSG_INT_ARG5, MSG_BAD_PARAM_NUM, false, 1, 1},
};

// The frame carries one byte of parameter number and seven value bytes.
const arg_rule parameter_rules[PARAMETER_ARGS] = {
    {"parameter", arg_kind::integer, 0, 255, nullptr, MSG_INT_ARG1, MSG_BAD_WRITE_PARAM_NUM, false, NO_POSITION, 0},
    {"value", arg_kind::bytes, 0, 7, nullptr, MSG_BUFFER_ARG2, MSG_AT_MOST_7_BYTES, false, NO_POSITION, 0},
};

const char *range_refusal(const arg_rule *rules, const int32_t *values, int count) {
    for (int i = 0; i < count; i++) {
        const arg_rule &rule = rules[i];
        if (rule.range_message == nullptr) continue;
        if (rule.needs_position >= 0 && values[rule.needs_position] != rule.needs_value) continue;
        bool below = values[i] < rule.min && !rule.below_is_none;
        if (below || values[i] > rule.max) return rule.range_message;
    }
    return nullptr;
}
