# Cross build for 64-bit ARM Linux with Debian's cross compilers
# (g++-aarch64-linux-gnu), running the results under qemu user emulation
# (qemu-user):
#
#   cmake -S . -B build-arm64 -DDROVIK_SIM=OFF \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake
#
# The system's GoogleTest packages hold amd64 libraries only, so a cross build
# compiles GoogleTest from its sources in /usr/src/googletest (Debian's
# googletest package); see DROVIK_GTEST_FROM_SOURCE in the root CMakeLists.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(DROVIK_CROSS_TRIPLE aarch64-linux-gnu)
set(DROVIK_CROSS_SYSROOT /usr/${DROVIK_CROSS_TRIPLE})

set(CMAKE_C_COMPILER ${DROVIK_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${DROVIK_CROSS_TRIPLE}-g++)

# Libraries and headers come from the arm64 tree only, never from the build
# machine's; programs (the emulator, code generators) from the build machine.
set(CMAKE_FIND_ROOT_PATH ${DROVIK_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest and gtest_discover_tests run every arm64 program through this, with
# the arm64 C library's loader and libraries found under the sysroot.
find_program(DROVIK_QEMU_AARCH64 qemu-aarch64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${DROVIK_QEMU_AARCH64} -L ${DROVIK_CROSS_SYSROOT})
