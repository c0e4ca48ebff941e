# The driver's core with the simulated bridge as a static library, for the
# plain C++ programs that test and time it. Expects QEL_ROOT; `warnings`
# are the compile options of its sources.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBUV REQUIRED IMPORTED_TARGET libuv)
find_package(Threads REQUIRED)

# The version string, read from package.json as binding.gyp reads it.
file(READ ${QEL_ROOT}/package.json QEL_PACKAGE_JSON)
string(REGEX MATCH "\"version\": *\"([^\"]+)\"" QEL_VERSION_FIELD "${QEL_PACKAGE_JSON}")
set(QEL_VERSION ${CMAKE_MATCH_1})
if(NOT QEL_VERSION)
  message(FATAL_ERROR "no version in ${QEL_ROOT}/package.json")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${QEL_ROOT}/package.json)

function(qel_core_library name warnings)
  add_library(${name} STATIC
    ${QEL_ROOT}/src/qel/bridge_link.cc
    ${QEL_ROOT}/src/qel/bus_lock.cc
    ${QEL_ROOT}/src/qel/capture.cc
    ${QEL_ROOT}/src/qel/config.cc
    ${QEL_ROOT}/src/qel/diagnostics.cc
    ${QEL_ROOT}/src/qel/driver_api.cc
    ${QEL_ROOT}/src/qel/frame.cc
    ${QEL_ROOT}/src/qel/handoff.cc
    ${QEL_ROOT}/src/qel/lifecycle.cc
    ${QEL_ROOT}/src/qel/line_ring.cc
    ${QEL_ROOT}/src/qel/message_memory.cc
    ${QEL_ROOT}/src/qel/mirror.cc
    ${QEL_ROOT}/src/qel/transmit.cc
    ${QEL_ROOT}/src/qel/bus_bcm2835.cc
    ${QEL_ROOT}/src/qel/i2c_dev.cc
    ${QEL_ROOT}/src/sim_bridge/bus_choose_sim.cc
    ${QEL_ROOT}/src/sim_bridge/i2c_dev_sim.cc
    ${QEL_ROOT}/src/sim_bridge/sim_bridge.cc)
  target_include_directories(${name} PUBLIC ${QEL_ROOT}/src/qel ${QEL_ROOT}/src/sim_bridge)
  target_compile_definitions(${name} PUBLIC QEL_LOG_PATH="${CMAKE_BINARY_DIR}/qel_cc_log.txt" QEL_BOARD_MODEL_PATH="" QEL_TEST_HOOKS QEL_VERSION="${QEL_VERSION}")
  target_compile_options(${name} PRIVATE ${warnings})
  target_link_libraries(${name} PUBLIC PkgConfig::LIBUV Threads::Threads)
endfunction()
