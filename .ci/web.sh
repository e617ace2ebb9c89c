#!/usr/bin/env bash
# The browser build: the library compiled by Emscripten twice (the module
# with the SIMD128 kernel and the scalar one), the kernel tests of each run
# under Node, then the npm package's tests (node --test) on the tarball
# npm pack makes, with convert compared byte for byte with the command
# line of the native build.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh

toolchain=$PWD/cmake/toolchains/emscripten.cmake
for variant in simd scalar; do
  build=build-wasm-$variant
  options=()
  [ "$variant" = scalar ] && options+=(-DEDGEMAP_SCALAR_ONLY=ON)
  echo "--- the $variant module"
  cmake -S web -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DEDGEMAP_WERROR=ON --toolchain "$toolchain" "${options[@]}"
  cmake --build "$build" -j2
  ctest --test-dir "$build" --output-on-failure -j2
done

# The command line the package's bytes are compared with: the README's
# build, made here too when this stage runs by itself.
if [ ! -x build/edgemap ]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DEDGEMAP_WERROR=ON
  cmake --build build -j2 --target edgemap_cli
fi

echo "--- the npm package"
cd web
npm ci --no-audit --no-fund
EDGEMAP_CLI=$PWD/../build/edgemap npm test
