# Cross build of the core tests for an ARM platform of Debian's multiarch
# (its libraries in /usr/lib/<triplet>, shared headers in /usr/include), run
# under the user-mode emulator. core.sh sets the environment: the triplet,
# the processor, the emulator, and the build defines (64-bit time_t and file
# offsets on 32-bit ARM).
set(QEL_TRIPLET $ENV{QEL_CROSS_TRIPLET})
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR $ENV{QEL_CROSS_PROCESSOR})
set(CMAKE_C_COMPILER ${QEL_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${QEL_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${QEL_TRIPLET})
set(CMAKE_CXX_FLAGS_INIT "$ENV{QEL_CROSS_DEFINES}")
set(CMAKE_C_FLAGS_INIT "$ENV{QEL_CROSS_DEFINES}")
# The ARM libraries are installed beside the host's; the emulator finds the
# platform's loader and libraries there by itself.
set(CMAKE_CROSSCOMPILING_EMULATOR $ENV{QEL_CROSS_EMULATOR})
# Programs (pkg-config, ctest) are the host's; libraries and packages are
# looked up for the platform only.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_ROOT_PATH /)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu/cmake)
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${QEL_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
