# Shared part of the mingw-w64 toolchains; the including file sets
# EDGEMAP_MINGW_TRIPLE and CMAKE_SYSTEM_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Windows)

# The -posix compilers: the win32 thread model has no std::mutex.
set(CMAKE_C_COMPILER ${EDGEMAP_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${EDGEMAP_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${EDGEMAP_MINGW_TRIPLE}-windres)

# Debian ships no MinGW builds of zlib, libspng, libjpeg-turbo, libtiff or
# libwebp: scripts/debian_sources.sh builds them from Debian's sources as
# static libraries into the build folder, or wherever
# EDGEMAP_CODECS_PREFIX says.
if(NOT DEFINED EDGEMAP_CODECS_PREFIX)
  set(EDGEMAP_CODECS_PREFIX ${CMAKE_BINARY_DIR}/debian-sources/prefix)
endif()
# A check's scratch project reads this file again, in the same process and
# with a binary folder of its own: without the prefix handed down, it
# would point the environment's pkg-config elsewhere for the rest of the
# configure.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES EDGEMAP_CODECS_PREFIX)

# The prefix is a root too, so that pkg-config's libraries are found there.
set(CMAKE_FIND_ROOT_PATH /usr/${EDGEMAP_MINGW_TRIPLE} ${EDGEMAP_CODECS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config reads the prefix's .pc files only, never the build machine's
# (Linux libraries a Windows program cannot link), and as for static
# linking, so that libtiff brings libjpeg and zlib after it, and libspng
# zlib.
set(ENV{PKG_CONFIG_LIBDIR} ${EDGEMAP_CODECS_PREFIX}/lib/pkgconfig)
unset(ENV{PKG_CONFIG_PATH})
unset(ENV{PKG_CONFIG_SYSROOT_DIR})
set(PKG_CONFIG_ARGN --static)

# libgcc, libstdc++ and winpthread linked in, so the DLL and the programs
# import nothing but DLLs every Windows has.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Tests run under Wine, through a wrapper that sets up its environment.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../../scripts/wine-run.sh)
