# Cross build for 64-bit ARM Linux with Debian's g++-aarch64-linux-gnu:
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
#     -DDRIFTSIM_TESTS=ON -DDRIFTSIM_GTEST_SOURCE=/usr/src/googletest
# The programs built run under qemu-user's qemu-aarch64, which finds the target's loader and
# libraries under -L; CTest and the tests that start the programs go through it, so no
# binfmt_misc registration is needed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(DRIFTSIM_TARGET_ROOT /usr/aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${DRIFTSIM_TARGET_ROOT})

# Libraries and headers from the target's tree only; build tools from the host.
set(CMAKE_FIND_ROOT_PATH ${DRIFTSIM_TARGET_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
