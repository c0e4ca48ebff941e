// The catalogue of every text the driver prints or throws, and the only
// place they live: the JavaScript tests read this file too
// (test/helpers/catalogue.js). One definition per line: #define MSG_NAME "text".
#pragma once

// The package's version: the build defines it from package.json (binding.gyp
// through lib/build-paths.js, test/core/qel_core.cmake), so that no
// second copy of it can fall behind.
#ifndef QEL_VERSION
#error "QEL_VERSION comes from package.json: build through binding.gyp or qel_core.cmake"
#endif

// Start-up (driver_start)
#define MSG_STARTING "QEL Driver -- starting with I2C Delay Cycle=%dus, CAN BUS Delay Cycle=%dus, HEARTBIT Delay Cycle=%dus, DEBOUNCING=%dms"
#define MSG_LISTENING_PREFIX "QEL Driver -- listening for IDs: "
#define MSG_LISTENING_ENTRY "0x%x (cyclic=%d) "
#define MSG_BOARD_UNSUPPORTED "QEL Driver -- This board (%s) is not supported: its I2C controller sits on the RP1 chip, which the bcm2835 library cannot drive; use a Raspberry Pi 1-4, 400, Zero or Compute Module 1-4"
#define MSG_NOT_A_PI "QEL Driver -- Not a Raspberry Pi (%s names none): the bcm2835 library would map memory that is not an I2C controller"
#define MSG_INIT_FAILED "QEL Driver -- bcm2835_init failed. Are you running as root??"
#define MSG_I2C_BEGIN_FAILED "QEL Driver -- bcm2835_i2c_begin failed: the I2C controller could not be mapped, the process must run as root"
#define MSG_CLOCK_DIVIDER "QEL Driver -- Clock divider set to: 400Kbps (%d)"
#define MSG_I2C_DEV_CLOCK "QEL Driver -- I2C clock set by the kernel: %uHz (%s)"
#define MSG_I2C_DEV_CLOCK_KERNEL "QEL Driver -- I2C clock set by the kernel for %s (dtparam=i2c_arm_baudrate=400000 in config.txt)"
#define MSG_I2C_DEV_MISSING "QEL Driver -- %s does not exist: enable I2C (sudo raspi-config, Interface Options, I2C; or dtparam=i2c_arm=on in config.txt) and reboot"
#define MSG_I2C_DEV_DENIED "QEL Driver -- %s: permission denied: add the user to the group %s that owns it (sudo usermod -aG %s $USER) and log in again"
#define MSG_I2C_DEV_OPEN_FAILED "QEL Driver -- %s could not be opened: %s"
#define MSG_I2C_DEV_ADDRESS_FAILED "QEL Driver -- %s: the bridge's address 0x%x could not be set: %s"
#define MSG_I2C_DEV_PATH_TOO_LONG "QEL Driver -- %s: the device path is longer than the %d characters that the driver takes; give QEL_I2C_DEVICE a shorter one"
#define MSG_SLAVE_ADDRESS "QEL Driver -- Slave address set to: 0x%x"
#define MSG_FRAME_LEN "QEL Driver -- Frame Len set to: %d"
#define MSG_DEBUG_MODE "QEL Driver -- Debug mode set to: %d"
#define MSG_BAUD_OK "QEL Driver -- CAN Bus BAUD speed = 250000 (0x%x)"
#define MSG_BAUD_FAILED "QEL Driver -- Error setting CAN Bus BAUD speed to 250000, value in register 0x03 = 0x%x"
#define MSG_SELECT_FAILED "QEL Driver -- Error selecting RECV register"
#define MSG_SELECT_OK "QEL Driver -- RECV register selected (0x40)"
#define MSG_DEBUG_ENABLED "QEL Driver -- Debug mode enabled, will log messages to the log file"
#define MSG_LOG_FILE "QEL Driver -- Log file: %s"
#define MSG_LOG_OPEN_FAILED "QEL Driver -- Error opening log file"
#define MSG_LOG_OPEN_REASON "QEL Driver -- Log file %s: %s"
#define LOG_REASON_NOT_REGULAR "not a regular file"
#define LOG_REASON_SYMLINK "a symbolic link, which is not followed"

// Receive loop (listen)
#define MSG_SIMULATING "QEL Driver -- Simulating a received message"
#define MSG_READ_FAILED "QEL Driver -- Error reading the I2C bus, error code = 0x%x"
#define MSG_CHECKSUM_ERROR "QEL Driver -- Checksum error, received = %x, calculated = %x"
#define MSG_DEBOUNCING "QEL Driver -- message ID = 0x%x, data = %x, debouncing"
#define MSG_RECEIVED_PREFIX "QEL Driver -- received message with ID = 0x%x, data = "
#define MSG_RECEIVED_BYTE "%2x "
#define MSG_RECEIVED_SUFFIX "\nQEL Driver -- Checksum = %x, calculated checksum = %x, counter =%d, timestamp = %llu, status changed = %d"
#define MSG_BRIDGE_LOST "QEL Driver -- Error talking to the bridge: it refuses transfers or gives frames no bridge sends; it is set up again once it answers"
#define MSG_BRIDGE_SET_UP_AGAIN "QEL Driver -- The bridge answers again after %u unsuccessful transfers: CAN Bus BAUD speed and RECV register set up again"

// Heartbeat (heartbit)
#define MSG_HB_DISABLED "QEL Driver -- Heartbit thread disabled"
#define MSG_HB_STARTING "QEL Driver -- Heartbit thread starting with MSGID=0x760 and frequency=%dus"
#define MSG_HB_FAILED "QEL Driver -- Error sending the Heartbit"

// Commands and parameters (send_command, write_parameter)
#define MSG_CMD_TFT "QEL Driver -- setting command to the QEL module: TFT = %d"
#define MSG_CMD_READ_CFG_ALL "QEL Driver -- setting command to the QEL module: Read CFG ALL"
#define MSG_CMD_READ_CFG "QEL Driver -- setting command to the QEL module: Read CFG"
#define MSG_CMD_COP_OFF "QEL Driver -- setting command to the QEL module: COP Light OFF = 0x%x"
#define MSG_CMD_COP_ON "QEL Driver -- setting command to the QEL module: COP Light ON = 0x%x"
#define MSG_CMD_COP_COLOR "QEL Driver -- setting command to the QEL module: COP Light Color = 0x%x"
#define MSG_CMD_DUMP "QEL Driver -- sending command with ID = 0x%x, data = "
#define MSG_PARAM_NUM "QEL Driver -- writing parameter to the QEL module: PARAM_NUM = %d"
#define MSG_PARAM_DUMP "QEL Driver -- writing a parameter with MSG ID = 0x%x, data = "
#define MSG_DUMP_BYTE "%2x "
#define MSG_SEND_FAILED "QEL Driver -- Error sending the command"
#define MSG_CMD_SENT "QEL Driver -- Command sent successfully"
#define MSG_PARAM_WRITTEN "QEL Driver -- Parameter written successfully"

// Delivery (async_callback)
#define MSG_NO_STATUS_CHANGE "QEL Driver -- async_callback called with status_changed = %d, no status change detected"
#define MSG_CALLBACK_EXCEPTION "QEL Driver -- async_callback exception occurred"
#define MSG_CALLBACK_EXCEPTION_DETAILS "QEL Driver -- async_callback exception details: %s"

// Capture (capture)
#define MSG_CAPTURE_EXCEPTION "QEL Driver -- capture callback exception occurred"
#define MSG_CAPTURE_EXCEPTION_DETAILS "QEL Driver -- capture callback exception details: %s"

// Mirror (mirror, QEL_MIRROR)
#define MSG_MIRROR_ON "QEL Driver -- Mirroring the frames read from the bridge to %s"
#define MSG_MIRROR_FAILED "QEL Driver -- Cannot mirror to %s: %s"
#define MSG_MIRROR_NO_CAN "this kernel has no CAN sockets (load them: sudo modprobe can-raw)"
#define MSG_MIRROR_NO_INTERFACE "no CAN interface of that name (create one: sudo ip link add dev %s type vcan && sudo ip link set up %s)"
#define MSG_MIRROR_DOWN "the interface is down (sudo ip link set up %s)"
#define MSG_MIRROR_STOPPED "QEL Driver -- Mirror to %s stopped: %s"
#define MSG_MIRROR_WENT_DOWN "the interface went down"
#define MSG_MIRROR_REMOVED "the interface was removed"

// Output (console and log writers)
#define MSG_CONSOLE_DROPPED "QEL Driver -- %llu console lines dropped: standard output did not take them in time"
#define MSG_LOG_LOST "QEL Driver -- %llu log file lines lost: %s"
#define MSG_CONSOLE_LINE_CUT " [... %llu more bytes cut: the line is longer than the driver's console queue takes]"
#define MSG_LOG_DROPPED "QEL Driver -- %llu log file lines dropped: the log file did not take them in time"

// The level of each console message that is not information, as open()'s
// console function gets it with each of the message's lines.
#define QEL_DEBUG_MESSAGES MSG_DEBOUNCING, MSG_RECEIVED_PREFIX, MSG_CMD_DUMP, MSG_PARAM_DUMP
#define QEL_ERROR_MESSAGES                                                                                           \
    MSG_BOARD_UNSUPPORTED, MSG_NOT_A_PI, MSG_INIT_FAILED, MSG_I2C_BEGIN_FAILED, MSG_I2C_DEV_MISSING, MSG_I2C_DEV_DENIED, \
        MSG_I2C_DEV_OPEN_FAILED, MSG_I2C_DEV_ADDRESS_FAILED, MSG_I2C_DEV_PATH_TOO_LONG, MSG_BAUD_FAILED,             \
        MSG_SELECT_FAILED, MSG_LOG_OPEN_FAILED, MSG_LOG_OPEN_REASON, MSG_READ_FAILED, MSG_CHECKSUM_ERROR,            \
        MSG_HB_FAILED, MSG_SEND_FAILED, MSG_CALLBACK_EXCEPTION, MSG_CALLBACK_EXCEPTION_DETAILS,                       \
        MSG_CAPTURE_EXCEPTION, MSG_CAPTURE_EXCEPTION_DETAILS, MSG_MIRROR_FAILED, MSG_BRIDGE_LOST
#define QEL_WARN_MESSAGES MSG_MIRROR_STOPPED, MSG_CONSOLE_DROPPED, MSG_LOG_LOST, MSG_LOG_DROPPED

// Errors thrown as TypeError
#define MSG_EXPECTED_FUNCTION "Expected a function as the first argument"
#define MSG_NO_CALLBACK "QEL Driver -- Please call registerCallback before calling driverStart"
#define MSG_ALREADY_STARTED "QEL Driver -- The driver is already started"
#define MSG_EXPECTED_7_ARGS "QEL Driver -- Expected 7 arguments"
#define MSG_START_ARG1 "QEL Driver -- Expected an integer or undefined as the first argument"
#define MSG_START_ARG2 "QEL Driver -- Expected an integer or undefined as the second argument"
#define MSG_START_ARG3 "QEL Driver -- Expected an integer or undefined as the third argument"
#define MSG_START_ARG4 "QEL Driver -- Expected an integer or undefined as the forth argument"
#define MSG_START_ARG5 "QEL Driver -- Expected an array or undefined as the fifth argument"
#define MSG_START_ARG6 "QEL Driver -- Expected an array or undefined as the sixth argument"
#define MSG_START_ARG7 "QEL Driver -- Expected a boolean or undefined as the seventh argument"
#define MSG_START_FAILED "QEL Driver -- Error starting the driver"
#define MSG_UV_FAILED "QEL Driver -- Error initializing UV lib"
#define MSG_MUTEX_FAILED "QEL Driver -- Error initializing the mutex"
#define MSG_THREADS_FAILED "QEL Driver -- Error starting the driver threads"
#define MSG_NOT_STARTED_COMMAND "QEL Driver -- Please call DriverStart before calling Command"
#define MSG_AT_MOST_5 "QEL Driver -- Expected at most 5 arguments"
#define MSG_INT_ARG1 "QEL Driver -- Expected an integer as the first argument"
#define MSG_INT_ARG2 "QEL Driver -- Expected an integer as the second argument"
#define MSG_INT_ARG3 "QEL Driver -- Expected an integer as the third argument"
#define MSG_INT_ARG4 "QEL Driver -- Expected an integer as the fourth argument"
#define MSG_INT_ARG5 "QEL Driver -- Expected an integer as the fifth argument"
#define MSG_BAD_TFT "QEL Driver -- Invalid TFT value for the command, expected 0-255 or -1 for none"
#define MSG_BAD_PARAM_NUM "QEL Driver -- Invalid parameter number for Read CFG command, expected 0-255"
#define MSG_AT_MOST_2 "QEL Driver -- Expected at most 2 arguments"
#define MSG_BUFFER_ARG2 "QEL Driver -- Expected an array of bytes (Buffer) as the second argument"
#define MSG_AT_MOST_7_BYTES "QEL Driver -- Expected an array with at most 7 bytes"
#define MSG_BAD_WRITE_PARAM_NUM "QEL Driver -- Invalid parameter number for Write Parameter, expected 0-255"
#define MSG_PARAM_FAILED "QEL Driver -- Error writing the parameter"
#define MSG_NOT_STARTED_READ "QEL Driver -- Please call DriverStart before calling ReadStatus"
#define MSG_AT_MOST_1 "QEL Driver -- Expected at most 1 argument"
#define MSG_NOT_STARTED_SIMULATE "QEL Driver -- Please call DriverStart before calling Simulate"
#define MSG_NOT_STARTED_STOP "QEL Driver -- Please call DriverStart before calling DriverStop"
#define MSG_IN_OTHER_THREAD "QEL Driver -- Another thread of this process uses the driver; one thread at a time can, until it ends"
#define MSG_BUFFER_ARG1 "QEL Driver -- Expected an array of bytes (Buffer) as the first argument"
#define MSG_BUFFER_15 "QEL Driver -- Expected a buffer of 15 bytes"
#define MSG_EXPECTED_2_ARGS "QEL Driver -- Expected 2 arguments"
#define MSG_BOOL_ARG1 "QEL Driver -- Expected a boolean as the first argument"
#define MSG_NUMBER_ARG2 "QEL Driver -- Expected a number or undefined as the second argument"
#define MSG_CAPTURE_ARG1 "QEL Driver -- Expected a function or null as the first argument"
#define MSG_MIRROR_ARG1 "QEL Driver -- Expected a CAN interface name (1 to 15 characters), null or nothing as the first argument"
#define MSG_CONSOLE_ARG1 "QEL Driver -- Expected 'stdout', false or a function"

// Codes of thrown errors: the property `code`, for a program to branch on.
// A failed system call gives its errno name instead (ENOENT, EACCES, ...).
#define CODE_BAD_ARGUMENT "QEL_BAD_ARGUMENT"
#define CODE_NO_CALLBACK "QEL_NO_CALLBACK"
#define CODE_ALREADY_STARTED "QEL_ALREADY_STARTED"
#define CODE_NOT_STARTED "QEL_NOT_STARTED"
#define CODE_START_FAILED "QEL_START_FAILED"
#define CODE_SEND_FAILED "QEL_SEND_FAILED"
#define CODE_IN_OTHER_THREAD "QEL_IN_OTHER_THREAD"
// open()'s driver object refuses with these before anything reaches the add-on.
#define CODE_BAD_OPTION "QEL_BAD_OPTION"
#define CODE_UNKNOWN_ID "QEL_UNKNOWN_ID"
#define CODE_BAD_COMMAND "QEL_BAD_COMMAND"

// Debug log file
#define LOG_HEADER_TITLE "QEL Driver Log File"
#define LOG_HEADER_VERSION "Version: %s"
#define LOG_HEADER_I2C "I2C Delay Cycle: %dus"
#define LOG_HEADER_CAN "CAN BUS Delay Cycle: %dus"
#define LOG_HEADER_HB "HEARTBIT Delay Cycle: %dus"
#define LOG_HEADER_DEB "DEBOUNCING: %dms"
#define LOG_HEADER_DATE "Current Date and Time: "
