# WebAssembly through Debian's Emscripten (3.1.6), run under Node 20:
#
#   cmake -S web -B build-wasm-simd -G Ninja -DCMAKE_BUILD_TYPE=Release \
#     --toolchain cmake/toolchains/emscripten.cmake
#
# Emscripten's own toolchain file does the work; this one steps round what
# that Emscripten and Node 20 trip on together.
include(/usr/share/emscripten/cmake/Modules/Platform/Emscripten.cmake)

# emcmake would hand CMake `node --experimental-wasm-threads`, which Node 20
# refuses; the test programs are plain single-threaded modules. Node's
# global fetch makes the glue try to fetch its .wasm by file name, which
# fails: without it the glue reads the file.
find_program(EDGEMAP_NODE node REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${EDGEMAP_NODE};--no-experimental-fetch"
    CACHE STRING "Runs the test programs" FORCE)

# The linker's JavaScript optimizer needs acorn, which Debian installs as a
# Node package outside Node's own search path.
set(CMAKE_C_LINKER_LAUNCHER env NODE_PATH=/usr/share/nodejs)
set(CMAKE_CXX_LINKER_LAUNCHER env NODE_PATH=/usr/share/nodejs)

# One thread: no pthreads in the runtime (threads in a page need
# cross-origin isolation most hosts do not give). Its C library then counts
# one processor, so the worker pool starts no thread and every call runs
# on its caller. The heap grows as images need.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-sALLOW_MEMORY_GROWTH=1")

# Debian ships no WebAssembly builds of zlib, libspng, libjpeg-turbo,
# libtiff or libwebp: scripts/debian_sources.sh builds them from Debian's
# sources with this file into the build folder, or wherever
# EDGEMAP_CODECS_PREFIX says. pkg-config reads that prefix only, never the
# build machine's .pc files, and as for static linking.
if(NOT DEFINED EDGEMAP_CODECS_PREFIX)
  set(EDGEMAP_CODECS_PREFIX ${CMAKE_BINARY_DIR}/debian-sources/prefix)
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES EDGEMAP_CODECS_PREFIX)
list(APPEND CMAKE_FIND_ROOT_PATH ${EDGEMAP_CODECS_PREFIX})
set(ENV{PKG_CONFIG_LIBDIR} ${EDGEMAP_CODECS_PREFIX}/lib/pkgconfig)
unset(ENV{PKG_CONFIG_PATH})
unset(ENV{PKG_CONFIG_SYSROOT_DIR})
set(PKG_CONFIG_ARGN --static)
