# Shared part of the mingw-w64 toolchains; the including file sets
# EDGEMAP_MINGW_TRIPLE and CMAKE_SYSTEM_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Windows)

# The -posix compilers: the win32 thread model has no std::mutex.
set(CMAKE_C_COMPILER ${EDGEMAP_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${EDGEMAP_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${EDGEMAP_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${EDGEMAP_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config looks in the target's tree only, never at the build machine's
# .pc files (Linux libraries a Windows program cannot link). Debian ships no
# MinGW builds of libspng or libjpeg, so these builds read and write bitmaps
# only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/${EDGEMAP_MINGW_TRIPLE}/lib/pkgconfig)
unset(ENV{PKG_CONFIG_PATH})
unset(ENV{PKG_CONFIG_SYSROOT_DIR})

# libgcc, libstdc++ and winpthread linked in, so the DLL and the programs
# import nothing but DLLs every Windows has.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Tests run under Wine, through a wrapper that sets up its environment.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../../scripts/wine-run.sh)
