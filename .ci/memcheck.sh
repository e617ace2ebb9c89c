#!/usr/bin/env bash
# Valgrind memcheck of the CLI on a regular, an odd-width, a 32-bit, a
# rejected and a missing bitmap, and in batch mode over a folder: no
# invalid access, no uninitialised byte written to the target (valgrind
# reports any such write), no leak (memory
# still reachable at exit is not one: scratch blocks and conversion buffers
# are kept for the process's life on purpose, for the next call). Valgrind
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

check() {  # name expected-exit-status edgemap-arguments...
  local name=$1 want=$2 status=0
  shift 2
  valgrind -q --error-exitcode=97 --leak-check=full \
    --show-leak-kinds=definite,indirect,possible \
    --errors-for-leak-kinds=definite,indirect,possible --track-origins=yes \
    build-memcheck/edgemap "$@" >"$out/$name.log" 2>&1 || status=$?
  if [ "$status" -ne "$want" ] || grep -q "^==[0-9]*==" "$out/$name.log"; then
    cat "$out/$name.log"
    echo "memcheck $name: exit status $status, expected $want"
    exit 1
  fi
  echo "memcheck $name: clean"
}
corpus=fuzz/corpus/pipeline
check regular_24bit 0 "$corpus/checkerboard.bmp" "$out/regular_24bit.bmp"
check odd_width 0 "$corpus/padded_24bit.bmp" "$out/odd_width.bmp"
check bgra_32bit 0 "$corpus/bgra_v5_header.bmp" "$out/bgra_32bit.bmp"
check rejected 1 "$corpus/pixels_cut_short.bmp" "$out/rejected.bmp"
check missing 1 "$out/no-such-file.bmp" "$out/missing.bmp"
check jpeg_to_png 0 examples/photo.jpg "$out/photo.png"
check png_to_8bit_bmp 0 --bits 8 "$out/photo.png" "$out/photo-8bit.bmp"
check bmp_to_1bit_bmp 0 --bits 1 "$corpus/padded_24bit.bmp" "$out/1bit.bmp"
head -c 300 examples/photo.jpg >"$out/cut.jpg"
check cut_jpeg 1 "$out/cut.jpg" "$out/cut.png"
# Batch mode: two workers over the whole corpus, refused files included.
check batch 1 -q -j2 -r -o "$out/batch" "$corpus"
