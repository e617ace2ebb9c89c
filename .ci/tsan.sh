#!/usr/bin/env bash
# ThreadSanitizer over the tests that call the exported function from
# several threads (the eight-thread stress test and the entry tests), and
# the worker pool's own test.
set -euo pipefail
cd "$(dirname "$0")/.."
flags="-fsanitize=thread -g -O1"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DEDGEMAP_WERROR=ON -DEDGEMAP_BUILD_BENCH=OFF -DEDGEMAP_INSTALL=OFF \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_C_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread \
  -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread
cmake --build build-tsan --target edgemap_tests -j2
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  build-tsan/tests/edgemap_tests --gtest_filter='stress.*:worker_pool.*:entry.*:api.*:api/layouts.*:formats.*:formats/*' \
  --gtest_brief=1
