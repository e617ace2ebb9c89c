#!/usr/bin/env bash
# What CI checks on the other platforms beyond the README's commands, on
# the builds those commands made: .ci/run runs scripts/readme_commands.sh
# first, which installs the cross tools, builds Windows x86-64 (tested
# under Wine), 32-bit Windows (its export tables checked), 32-bit ARM Linux
# (tested under qemu-arm) and 64-bit ARM Linux (tested under qemu-aarch64).
# A platform whose commands left the README fails here instead of going
# untested. Here the ARM builds also run on emulated processors with and
# without NEON, each of which must get the kernel it can run.
set -euo pipefail
cd "$(dirname "$0")/.."

for build in build-win64 build-win32 build-armhf build-aarch64; do
  if [ ! -f "$build/CMakeCache.txt" ]; then
    echo "$build is missing: the README no longer builds it"
    exit 1
  fi
done
echo "cross builds in place: build-win64 build-win32 build-armhf build-aarch64"

# As the toolchain files run test programs.
armhf_qemu="qemu-arm -L /usr/arm-linux-gnueabihf -E LD_LIBRARY_PATH=/usr/arm-linux-gnueabihf/lib:/opt/edgemap-cross/armhf/usr/lib/arm-linux-gnueabihf:/opt/edgemap-cross/armhf/lib/arm-linux-gnueabihf"
aarch64_qemu="qemu-aarch64 -L /usr/aarch64-linux-gnu -E LD_LIBRARY_PATH=/usr/aarch64-linux-gnu/lib:/opt/edgemap-cross/arm64/usr/lib/aarch64-linux-gnu:/opt/edgemap-cross/arm64/lib/aarch64-linux-gnu"
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

# Cortex-R5F: ARMv7 with VFPv3-D16 and no NEON, Debian's armhf baseline.
kernel_on build-armhf "$armhf_qemu" cortex-r5f portable
kernel_on build-armhf "$armhf_qemu" cortex-a15 neon
kernel_on build-aarch64 "$aarch64_qemu" cortex-a53 neon
