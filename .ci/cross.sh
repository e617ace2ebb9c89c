#!/usr/bin/env bash
# The other platforms: Windows x86-64 (test suite and a host program that
# loads edgemap.dll, under Wine), 32-bit Windows (built, export table
# checked), 32-bit ARM Linux (test suite under qemu-arm, on processors with
# and without NEON) and 64-bit ARM Linux (test suite under qemu-aarch64).
set -euo pipefail
cd "$(dirname "$0")/.."
part() { printf -- '--- %s (%ss)\n' "$1" "$SECONDS"; }

part "cross tools"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
# libgtest-dev:armhf and :arm64 come through multiarch; deps.sh runs
# apt-get update when anything is missing, which picks up the new
# architectures.
for arch in armhf arm64; do
  dpkg --print-foreign-architectures | grep -qx $arch ||
    $sudo dpkg --add-architecture $arch
done
./scripts/deps.sh googletest mingw-w64 g++-mingw-w64-x86-64-posix \
  g++-mingw-w64-i686-posix wine64 qemu-user g++-arm-linux-gnueabihf \
  libgtest-dev:armhf g++-aarch64-linux-gnu libgtest-dev:arm64

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

# As the toolchain files run test programs.
armhf_qemu="qemu-arm -L /usr/arm-linux-gnueabihf"
aarch64_qemu="qemu-aarch64 -L /usr/aarch64-linux-gnu"
# The unit tests in one process under qemu with the given CPU, which must
# get the given kernel: the dispatcher picks a variant the processor runs,
# and nothing else uses an instruction it lacks.
kernel_on() {
  local build=$1 emulator=$2 cpu=$3 want=$4 out
  echo "--- unit tests on an emulated $cpu"
  out=$($emulator -cpu "$cpu" "$build/tests/edgemap_tests" 2>&1) || {
    printf '%s\n' "$out"
    exit 1
  }
  printf '%s\n' "$out" | grep -E '^\[  PASSED  \]'
  printf '%s\n' "$out" | grep -qx "selected kernel: $want" || {
    echo "expected the $want kernel on $cpu, got:" \
      "$(printf '%s\n' "$out" | grep 'selected kernel')"
    exit 1
  }
}

part "armhf under qemu-arm"
cmake -S . -B build-armhf "${common[@]}" \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/armhf.cmake
cmake --build build-armhf -j2
ctest --test-dir build-armhf -j2 --output-on-failure
# Cortex-R5F: ARMv7 with VFPv3-D16 and no NEON, Debian's armhf baseline.
kernel_on build-armhf "$armhf_qemu" cortex-r5f portable
kernel_on build-armhf "$armhf_qemu" cortex-a15 neon

part "aarch64 under qemu-aarch64"
cmake -S . -B build-aarch64 "${common[@]}" \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64.cmake
cmake --build build-aarch64 -j2
ctest --test-dir build-aarch64 -j2 --output-on-failure
kernel_on build-aarch64 "$aarch64_qemu" cortex-a53 neon
# The README's instruction counts of the ARM kernels' inner loops.
scripts/arm_loops.py build-armhf build-aarch64

part "cross done"
