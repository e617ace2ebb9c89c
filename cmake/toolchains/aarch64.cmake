# 64-bit ARM Linux (AArch64; NEON is part of the baseline) with Debian's
# cross compiler; tests run under qemu-aarch64 with the codecs
# scripts/cross_codecs.sh unpacks.
#   cmake -S . -B build-aarch64 -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# The cross compiler's own tree, and / for multiarch packages such as
# libgtest-dev:arm64 (found under /usr/lib/aarch64-linux-gnu).
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The codec libraries from scripts/cross_codecs.sh.
set(edgemap_cross_triple aarch64-linux-gnu)
set(edgemap_cross_arch arm64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-codecs.cmake)

# No binfmt handler is registered here: run test programs through qemu.
# Its -L prefix gives the cross compiler's C library and libstdc++, and
# LD_LIBRARY_PATH the codecs.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu
    -E LD_LIBRARY_PATH=/usr/aarch64-linux-gnu/lib:${edgemap_cross_libraries})
