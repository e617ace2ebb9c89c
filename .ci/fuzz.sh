#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang, replays the committed corpus
# and regressions, then fuzzes each harness for FUZZ_SECONDS (default 45)
# from that corpus. Any crash, sanitizer report or failed check fails the
# stage; the input that did it is left under $build/fuzz-out/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh clang-14 libclang-rt-14-dev
build=${FUZZ_BUILD_DIR:-build-fuzz}
seconds=${FUZZ_SECONDS:-45}
CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DEDGEMAP_FUZZ=ON -DEDGEMAP_WERROR=ON \
  -DEDGEMAP_CODECS=ON \
  -DEDGEMAP_BUILD_TESTS=OFF -DEDGEMAP_BUILD_BENCH=OFF -DEDGEMAP_INSTALL=OFF
cmake --build "$build" -j2
ctest --test-dir "$build" --output-on-failure

for harness in pipeline state kernels memory stream png jpeg webp tiff; do
  out="$build/fuzz-out/$harness"
  rm -rf "$out" && mkdir -p "$out/corpus"
  cp fuzz/corpus/"$harness"/* "$out/corpus/"
  if [ -d fuzz/regressions/"$harness" ]; then
    cp fuzz/regressions/"$harness"/* "$out/corpus/"
  fi
  "$build/fuzz/fuzz_$harness" "$out/corpus" -max_total_time="$seconds" \
    -max_len=4096 -timeout=20 -rss_limit_mb=2048 -close_fd_mask=1 \
    -print_final_stats=1 -artifact_prefix="$out/" >"$out/log" 2>&1 || {
    tail -n 60 "$out/log"
    echo "fuzz_$harness failed; inputs kept in $out/"
    exit 1
  }
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/log")
  echo "fuzz_$harness: $runs executions in ${seconds}s, clean"
done
