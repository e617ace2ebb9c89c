#!/usr/bin/env bash
# The test suite again under ASan, UBSan and LeakSanitizer; any report fails.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DEDGEMAP_SANITIZE=ON -DEDGEMAP_WERROR=ON -DEDGEMAP_BUILD_BENCH=OFF
cmake --build build-asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure
