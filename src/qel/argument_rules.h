// What each argument of driverStart, sendCommand and writeParameter may be,
// by position. The add-on checks its arguments by these rows, and open()'s
// driver object builds its checks of the same settings from them (through
// the facts export, lib/open/checks.js): a range changed here changes both.
#pragma once

#include <cstdint>

enum class arg_kind : uint8_t { integer, identifiers, boolean, bytes };

struct arg_rule {
    const char *name;           // the option of open() or field of send() it maps onto
    arg_kind kind;
    int32_t min;                // integer: the values that act; bytes: at most
    int32_t max;                // `max` of them
    const char *unit;           // of a delay, else nullptr
    const char *type_message;   // the add-on's refusal of another type
    const char *range_message;  // its refusal of a value outside, or nullptr
                                // where any value is taken and one outside acts as not set
    bool below_is_none;         // a value below `min` means "not set" (-1)
    int needs_position;         // -1, or the argument whose value `needs_value`
    int32_t needs_value;        // makes this one act (and then required)
};

constexpr int START_ARGS = 7;
constexpr int COMMAND_ARGS = 5;
constexpr int PARAMETER_ARGS = 2;

extern const arg_rule start_rules[START_ARGS];
extern const arg_rule command_rules[COMMAND_ARGS];
extern const arg_rule parameter_rules[PARAMETER_ARGS];

// The message of the first of `count` converted values, by position, that
// its rule refuses, or nullptr. A rule that needs another argument's value
// is judged only when that value is there.
const char *range_refusal(const arg_rule *rules, const int32_t *values, int count);
