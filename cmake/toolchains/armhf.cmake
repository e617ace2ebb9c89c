# 32-bit ARM Linux (hard float) with Debian's cross compiler; tests run
# under qemu-arm with the codecs scripts/cross_codecs.sh unpacks.
#   cmake -S . -B build-armhf -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/armhf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# The compiler's own baseline (ARMv7, VFPv3-D16, no NEON), as Debian's
# armhf packages are built: only the NEON kernel is compiled with NEON,
# and it runs where the processor's hardware capabilities list NEON.

# The cross compiler's own tree, and / for multiarch packages such as
# libgtest-dev:armhf (found under /usr/lib/arm-linux-gnueabihf).
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The codec libraries from scripts/cross_codecs.sh.
set(edgemap_cross_triple arm-linux-gnueabihf)
set(edgemap_cross_arch armhf)
include(${CMAKE_CURRENT_LIST_DIR}/cross-codecs.cmake)

# No binfmt handler is registered here: run test programs through qemu.
# Its -L prefix gives the cross compiler's C library and libstdc++, and
# LD_LIBRARY_PATH the codecs.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/arm-linux-gnueabihf
    -E LD_LIBRARY_PATH=/usr/arm-linux-gnueabihf/lib:${edgemap_cross_libraries})
