# The floor add-on of figure 2a. tools/qel-bench copies this file to
# build/bench/floor/binding.gyp and builds it there with node-gyp, with the
# driver's own optimisation; the package's binding.gyp never names it.
{
  "targets": [
    {
      "target_name": "qel_floor",
      "sources": ["../../../bench/floor_addon.cc"],
      "cflags": ["-Wall", "-Wextra", "-Werror"],
      "cflags_cc": ["-isystem", "<!(node -p \"require('path').dirname(require.resolve('nan/nan.h'))\")"]
    }
  ]
}
