#!/usr/bin/env bash
# Valgrind memcheck of the CLI on a regular, an odd-width, a 32-bit, a
# rejected and a missing bitmap: no invalid access, no uninitialised byte
# written to the target (valgrind reports any such write), no leak. Valgrind
# exits with 97 on an error of its own, apart from the CLI's 1 for a
# refused source.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh valgrind
cmake -S . -B build-memcheck -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DEDGEMAP_WERROR=ON -DEDGEMAP_BUILD_TESTS=OFF -DEDGEMAP_BUILD_BENCH=OFF \
  -DEDGEMAP_INSTALL=OFF
cmake --build build-memcheck --target edgemap_cli -j2
out=build-memcheck/out
rm -rf "$out" && mkdir -p "$out"

check() {  # name source expected-exit-status
  local status=0
  valgrind -q --error-exitcode=97 --leak-check=full --show-leak-kinds=all \
    --errors-for-leak-kinds=all --track-origins=yes \
    build-memcheck/edgemap "$2" "$out/$1.bmp" >"$out/$1.log" 2>&1 ||
    status=$?
  if [ "$status" -ne "$3" ] || grep -q "^==[0-9]*==" "$out/$1.log"; then
    cat "$out/$1.log"
    echo "memcheck $1: exit status $status, expected $3"
    exit 1
  fi
  echo "memcheck $1: clean"
}
corpus=fuzz/corpus/pipeline
check regular_24bit "$corpus/checkerboard.bmp" 0
check odd_width "$corpus/padded_24bit.bmp" 0
check bgra_32bit "$corpus/bgra_v5_header.bmp" 0
check rejected "$corpus/pixels_cut_short.bmp" 1
check missing "$out/no-such-file.bmp" 1
