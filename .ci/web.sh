#!/usr/bin/env bash
# The browser build (docs/web.md): the library compiled by Emscripten
# twice, the kernel tests of each build run under Node; the codecs built
# from Debian's sources for the scalar build, which makes the codecs
# module; then the npm package's tests on the tarball npm pack makes
# (convert byte for byte against the native command line) and the page's
# in headless Chromium.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh

toolchain=$PWD/cmake/toolchains/emscripten.cmake
configure=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DEDGEMAP_WERROR=ON
           --toolchain "$toolchain")

echo "--- the SIMD module"
cmake -S web -B build-wasm-simd "${configure[@]}"
cmake --build build-wasm-simd -j2
ctest --test-dir build-wasm-simd --output-on-failure -j2

echo "--- the codecs, from Debian's sources"
# The options docs/web.md explains: no x86 assembly, code sized for the
# download, and libtiff with the codecs photographs and scans use.
scripts/debian_sources.sh "$toolchain" build-wasm-scalar -DWITH_SIMD=0 \
  "-DCMAKE_C_FLAGS_RELEASE=-Os -DNDEBUG" -Djpeg=OFF -Dold-jpeg=OFF \
  -Dpixarlog=OFF -Dlogluv=OFF -Dthunder=OFF -Dnext=OFF -Dmdi=OFF

echo "--- the scalar and codecs modules"
cmake -S web -B build-wasm-scalar "${configure[@]}" -DEDGEMAP_SCALAR_ONLY=ON
cmake --build build-wasm-scalar -j2
ctest --test-dir build-wasm-scalar --output-on-failure -j2

# The command line the package's bytes are compared with: the README's
# build, made here too when this stage runs by itself.
if [ ! -x build/edgemap ]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DEDGEMAP_WERROR=ON
  cmake --build build -j2 --target edgemap_cli
fi

echo "--- the npm package and the page"
cd web
npm ci --no-audit --no-fund
EDGEMAP_CLI=$PWD/../build/edgemap npm test
