#!/usr/bin/env bash
# The test suite on emulated older processors, so the dispatcher is seen to
# pick a variant each one can run and never to execute an instruction it
# lacks: Conroe (SSSE3, no SSE4.1) must get the portable kernel, Nehalem and
# Westmere (SSE4.2, no AVX) the SSE4.1 one, Haswell (AVX2, no AVX-512) the
# AVX2 one. (qemu's emulation stops short of AVX-512, so the two AVX-512
# builds run natively only.) Reuses the main build when it exists.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh qemu-user
if [ ! -x build/tests/edgemap_tests ]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DEDGEMAP_WERROR=ON
  cmake --build build
fi
for cpu_kernel in Conroe:portable Nehalem:sse41 Westmere:sse41 Haswell:avx2; do
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
# built in), and that the ratio table and the README's chart can be made
# from it.
if [ ! -x build/bench/edgemap_bench ]; then
  echo "the benchmarks were not built: is Google Benchmark installed?"
  exit 1
fi
echo "--- benchmark smoke run"
./scripts/deps.sh python3-matplotlib
build/bench/edgemap_bench --benchmark_filter='w:640/' \
  --benchmark_min_time=0.01 --benchmark_out=build/bench-smoke.json >/dev/null
/usr/bin/python3 bench/ratios.py build/bench-smoke.json >/dev/null
/usr/bin/python3 bench/ratio_chart.py build/bench-smoke.json \
  build/bench-smoke.png
