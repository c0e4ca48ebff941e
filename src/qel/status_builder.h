// The status object's builder, as JavaScript source: the driver compiles it
// once (delivery_js.cc), and the benchmark's floor builds its objects with
// the very same code. Given the runtime's Buffer constructor, it returns
// the builder, which takes the data bytes as two 32-bit words.
#pragma once

constexpr char STATUS_BUILDER_SOURCE[] =
    "(function (Buffer) {\n"
    "  'use strict';\n"
    "  const alloc = Buffer.alloc;\n"
    "  return function (timestamp, counter, msg_id, low, high, hb, unk, empty, err) {\n"
    "    const msg_data = alloc(8);\n"
    "    msg_data[0] = low; msg_data[1] = low >> 8; msg_data[2] = low >> 16; msg_data[3] = low >> 24;\n"
    "    msg_data[4] = high; msg_data[5] = high >> 8; msg_data[6] = high >> 16; msg_data[7] = high >> 24;\n"
    "    return { timestamp, counter, msg_id, msg_data, driver_stats: { hb, unk, empty, err } };\n"
    "  };\n"
    "})";
