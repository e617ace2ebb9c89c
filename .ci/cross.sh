#!/usr/bin/env bash
# The other platforms: Windows x86-64 (test suite and a host program that
# loads edgemap.dll, under Wine), 32-bit Windows (built, export table
# checked) and 32-bit ARM Linux (test suite under qemu-arm).
set -euo pipefail
cd "$(dirname "$0")/.."
part() { printf -- '--- %s (%ss)\n' "$1" "$SECONDS"; }

part "cross tools"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
# libgtest-dev:armhf comes through multiarch; deps.sh runs apt-get update
# when anything is missing, which picks up the new architecture.
dpkg --print-foreign-architectures | grep -qx armhf ||
  $sudo dpkg --add-architecture armhf
./scripts/deps.sh googletest mingw-w64 g++-mingw-w64-x86-64-posix \
  g++-mingw-w64-i686-posix wine64 qemu-user g++-arm-linux-gnueabihf \
  libgtest-dev:armhf

common=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DEDGEMAP_WERROR=ON
        -DEDGEMAP_BUILD_BENCH=OFF)

part "Windows x86-64 under Wine"
# A throwaway prefix; its persistent server and Wine's services start here,
# detached, before CMake or CTest run a Windows program.
wine_tmp=$(mktemp -d)
export WINEPREFIX="$wine_tmp/prefix"
stop_wine() {
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  rm -rf "$wine_tmp"
}
trap stop_wine EXIT
./scripts/wine-run.sh cmd /c exit 0 </dev/null >/dev/null 2>&1
cmake -S . -B build-win64 "${common[@]}" \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64-x86_64.cmake
cmake --build build-win64 -j2
# A test program under Wine used to exit now and then at once with no
# output (gone since scripts/wine-run.sh stopped asking wineserver on every
# call); should a start-up hiccup come back, a second try tells it apart
# from a failing test, which fails again. The first try's output stays in
# the log.
ctest --test-dir build-win64 -j2 --output-on-failure --repeat until-pass:2

part "Windows i686: build and export table"
cmake -S . -B build-win32 "${common[@]}" -DEDGEMAP_BUILD_TESTS=OFF \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64-i686.cmake
cmake --build build-win32 -j2
cmake --build build-win32 --target check_dll

part "armhf under qemu-arm"
cmake -S . -B build-armhf "${common[@]}" \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/armhf.cmake
cmake --build build-armhf -j2
ctest --test-dir build-armhf -j2 --output-on-failure

part "cross done"
