# Cross build for 64-bit ARM Linux with Debian's g++-aarch64-linux-gnu:
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
#     -DDRIFTSIM_TESTS=ON -DDRIFTSIM_GTEST_SOURCE=/usr/src/googletest
# The programs built run under qemu-user's qemu-aarch64; CTest and the tests that start the
# programs go through it, so no binfmt_misc registration is needed.
#
# They run on Debian's multiarch arm64 runtime (libc6:arm64, libstdc++6:arm64, which
# nettle-dev:arm64 brings), so qemu's -L is / and not the cross tree. With -L on the cross tree,
# its loader falls back to /lib/aarch64-linux-gnu for libraries it lacks (nettle) and picks up
# the multiarch libc there too: a loader and a libc of different builds, whose first
# pthread_create then walks a corrupt list for ever.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(DRIFTSIM_TARGET_ROOT /usr/aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /)

# Libraries and headers from the target's trees only: the cross toolchain's, and Debian's
# multiarch folders (libnettle-dev:arm64 in /usr/lib/aarch64-linux-gnu, header-only
# nlohmann-json in /usr/share); build tools from the host.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH ${DRIFTSIM_TARGET_ROOT} /)
# pkg-config sees the target's packages only: htslib is optional and, without
# libhts-dev:arm64, driftsim-convert is built without vcf.gz.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
