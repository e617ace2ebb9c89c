#!/usr/bin/env bash
# The test suite on emulated older processors, so the dispatcher is seen to
# pick a variant each one can run and never to execute an instruction it
# lacks: Nehalem (SSE4.2, no AVX) must get the portable kernel, Haswell
# (AVX2, no AVX-512) the AVX2 one. Reuses the main build when it exists.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh qemu-user
if [ ! -x build/tests/edgemap_tests ]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DEDGEMAP_WERROR=ON
  cmake --build build
fi
for cpu_kernel in Nehalem:portable Haswell:avx2; do
  cpu=${cpu_kernel%%:*}
  want=${cpu_kernel##*:}
  echo "--- tests on an emulated $cpu"
  out=$(qemu-x86_64 -cpu "$cpu" build/tests/edgemap_tests 2>&1) || {
    printf '%s\n' "$out"
    exit 1
  }
  printf '%s\n' "$out" | tail -n 1
  printf '%s\n' "$out" | grep -qx "selected kernel: $want" || {
    echo "expected the $want kernel on $cpu, got: $(printf '%s\n' "$out" | grep 'selected kernel')"
    exit 1
  }
done

# The benchmarks build with the rest (scripts/deps.sh installs Google
# Benchmark, so here they must have been built); one short run shows they
# still work (each OpenCV comparison checks its bytes before timing, when
# built in).
if [ ! -x build/bench/edgemap_bench ]; then
  echo "the benchmarks were not built: is Google Benchmark installed?"
  exit 1
fi
echo "--- benchmark smoke run"
build/bench/edgemap_bench --benchmark_filter='w:640/' \
  --benchmark_min_time=0.01 >/dev/null
