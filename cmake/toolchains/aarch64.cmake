# 64-bit ARM Linux (AArch64; NEON is part of the baseline) with Debian's
# cross compiler; tests run under qemu-aarch64 with the target's libraries
# from the multiarch tree.
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

# pkg-config reads the target's .pc files (libspng-dev:arm64 and
# libjpeg62-turbo-dev:arm64 put them in the multiarch tree), never the build
# machine's, and takes the paths in them as they stand: the multiarch tree
# lives under /, so no sysroot is prefixed to them.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
unset(ENV{PKG_CONFIG_PATH})
unset(ENV{PKG_CONFIG_SYSROOT_DIR})

# No binfmt handler is registered here: run test programs through qemu.
# Its -L prefix gives the cross compiler's C library and libstdc++; the
# loader finds libspng, libjpeg and zlib in the multiarch tree. The C
# library installed there with them must not be mixed with the cross one,
# which LD_LIBRARY_PATH puts first.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu
    -E LD_LIBRARY_PATH=/usr/aarch64-linux-gnu/lib)
