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
# cross-origin isolation most hosts do not give), and a heap that grows as
# images need. Programs that run under Node see the real file system.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-sALLOW_MEMORY_GROWTH=1")
