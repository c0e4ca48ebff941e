{
  "variables": {
    "bcm2835_include%": "<!(node lib/build-paths.js gyp-bcm2835-include)",
    "bcm2835_lib%": "<!(node lib/build-paths.js gyp-bcm2835-lib)",
    "version_literal%": "<!(node lib/build-paths.js version-literal)"
  },
  "target_defaults": {
    "sources": [
      "src/qel/argument_rules.cc",
      "src/qel/bridge_link.cc",
      "src/qel/bus_lock.cc",
      "src/qel/capture.cc",
      "src/qel/capture_js.cc",
      "src/qel/console_js.cc",
      "src/qel/config.cc",
      "src/qel/delivery_js.cc",
      "src/qel/diagnostics.cc",
      "src/qel/driver_api.cc",
      "src/qel/driver_api_js.cc",
      "src/qel/env_js.cc",
      "src/qel/facts_js.cc",
      "src/qel/frame.cc",
      "src/qel/guarded_call.cc",
      "src/qel/handoff.cc",
      "src/qel/lifecycle.cc",
      "src/qel/line_ring.cc",
      "src/qel/message_memory.cc",
      "src/qel/mirror.cc",
      "src/qel/mirror_js.cc",
      "src/qel/transmit.cc"
    ],
    "defines": ["QEL_VERSION=<(version_literal)"],
    "cflags": ["-Wall", "-Wextra", "-Wformat=2", "-Werror"],
    "cflags_cc": ["-isystem", "<!(node lib/build-paths.js nan-include)"],
    "conditions": [
      ["target_arch=='arm'", {
        "defines": ["_FILE_OFFSET_BITS=64", "_TIME_BITS=64"],
        # ARMv6 (Pi Zero, Pi 1) has no 64-bit atomic instructions: the
        # compiler calls libatomic for them, which is then recorded as needed.
        "ldflags": ["-Wl,--as-needed"],
        "libraries": ["-latomic"]
      }]
    ]
  },
  "targets": [
    {
      "target_name": "qel_sim",
      "include_dirs": ["src/sim_bridge", "src/qel"],
      "defines": ["QEL_SIM", "QEL_TEST_HOOKS", "QEL_BOARD_MODEL_PATH=\"\""],
      "sources": [
        "src/qel/bus_bcm2835.cc",
        "src/qel/i2c_dev.cc",
        "src/sim_bridge/bus_choose_sim.cc",
        "src/sim_bridge/i2c_dev_sim.cc",
        "src/sim_bridge/sim_bridge.cc",
        "src/sim_bridge/bridge_js.cc"
      ]
    },
    {
      "target_name": "qel_i2cdev",
      "sources": [
        "src/qel/i2c_dev.cc",
        "src/qel/bus_choose_i2c_dev.cc"
      ]
    }
  ],
  "conditions": [
    ["bcm2835_lib!=''", {
      "targets": [
        {
          "target_name": "qel",
          "include_dirs": ["<(bcm2835_include)"],
          "libraries": ["<(bcm2835_lib)"],
          "sources": [
            "src/qel/bus_bcm2835.cc",
            "src/qel/bus_choose_bcm2835.cc"
          ]
        }
      ]
    }]
  ]
}
