# Cross-building for 32-bit ARM Linux (little-endian, soft float) with
# Debian's g++-arm-linux-gnueabi; the programs and the tests run under
# qemu-user (Debian: qemu-user), without a binfmt handler:
#   cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabi.cmake
#   cmake --build build-arm -j2 && ctest --test-dir build-arm
# The device code (app/, log/, ramimage/, hive/) is built for ARMv4T with
# interworking, the baseline of CE's ARMV4I; the rest at the compiler's
# default (ARMv5TE). GoogleTest is built from Debian's sources
# (/usr/src/googletest) by the same compiler. scripts/check-arm runs it all.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CORVANE_ARM_PREFIX arm-linux-gnueabi CACHE STRING "Prefix of the ARM cross tools")
set(CMAKE_C_COMPILER ${CORVANE_ARM_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${CORVANE_ARM_PREFIX}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${CORVANE_ARM_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CTest runs the test programs through the emulator, and the tests start the
# programs they run as child processes through it too (CORVANE_EXEC_PREFIX,
# tests/CMakeLists.txt): the kernel cannot run an ARM executable by itself.
find_program(CORVANE_QEMU_ARM qemu-arm)
if(CORVANE_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CORVANE_QEMU_ARM} -L /usr/${CORVANE_ARM_PREFIX})
endif()

# The device code's target: the compiler's default everywhere else.
set(CORVANE_DEVICE_FLAGS -march=armv4t -mthumb-interwork CACHE STRING "Compile options of the device code")
# The target has no GoogleTest library: it is built from these sources.
set(CORVANE_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest's sources, built with the tree")
