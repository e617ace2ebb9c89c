# 32-bit ARM Linux (hard float) with Debian's cross compiler; tests run
# under qemu-arm with the target's libraries from the multiarch tree.
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

# pkg-config reads the target's .pc files (libspng-dev:armhf and
# libjpeg62-turbo-dev:armhf put them in the multiarch tree), never the build
# machine's, and takes the paths in them as they stand: the multiarch tree
# lives under /, so no sysroot is prefixed to them.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
unset(ENV{PKG_CONFIG_PATH})
unset(ENV{PKG_CONFIG_SYSROOT_DIR})

# No binfmt handler is registered here: run test programs through qemu.
# Its -L prefix gives the cross compiler's C library and libstdc++; the
# loader finds libspng, libjpeg and zlib in the multiarch tree. The C
# library installed there with them must not be mixed with the cross one,
# which LD_LIBRARY_PATH puts first.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/arm-linux-gnueabihf
    -E LD_LIBRARY_PATH=/usr/arm-linux-gnueabihf/lib)
