#!/usr/bin/env bash
# The install contract: files in place, one exported symbol, the right
# SONAME, and programs built against the installed copy with pkg-config
# (C) and find_package (C++).
# usage: install_test.sh BUILD_DIR SOURCE_DIR C_COMPILER
set -euo pipefail
build=$1 source=$2 cc=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" > /dev/null
for f in lib/libedgemap.so include/edgemap.h bin/edgemap \
         lib/pkgconfig/edgemap.pc lib/cmake/edgemap/edgemap-config.cmake \
         share/man/man1/edgemap.1; do
  [ -e "$prefix/$f" ] || fail "$f is not installed"
done

symbols=$(nm -D --defined-only "$prefix/lib/libedgemap.so" | awk '{print $3}' | LC_ALL=C sort | tr '\n' ' ')
expected_symbols="QTVSolbelP edgemap_convert_file edgemap_convert_file_ex edgemap_convert_memory edgemap_convert_memory_ex edgemap_detect edgemap_detect_mask edgemap_free edgemap_options_init edgemap_strerror edgemap_version "
[ "$symbols" = "$expected_symbols" ] || fail "exported symbols: $symbols"
readelf -d "$prefix/lib/libedgemap.so" | grep -q 'SONAME.*\[libedgemap\.so\.1\]' ||
  fail "SONAME is not libedgemap.so.1"
[ -e "$prefix/lib/libedgemap.so.1.3.0" ] || fail "no libedgemap.so.1.3.0"
[ "$("$prefix/bin/edgemap" --version)" = 1.3.0 ] || fail "CLI version"

export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
# shellcheck disable=SC2046
"$cc" -std=c11 -Wall -Wextra -pedantic -Werror -o "$work/demo" \
  "$source/examples/edgemap_demo.c" $(pkg-config --cflags --libs edgemap)
printf '#include <edgemap.h>\nint main(void) { return 0; }\n' |
  c++ -std=c++20 -Wall -Werror -x c++ - $(pkg-config --cflags edgemap) \
    -o "$work/header_as_cxx"

out=$(LD_LIBRARY_PATH=$prefix/lib "$work/demo" "$source/samples/shapes.bmp" \
  "$work/edges.bmp")
expected=$'file size = 58134\nsize = 58080.000000\nQTVSolbelP returned 999'
[ "$out" = "$expected" ] || fail "demo printed: $out"
cmp "$work/edges.bmp" <("$prefix/bin/edgemap" "$source/samples/shapes.bmp" - \
  2>/dev/null) || fail "library and CLI disagree"

cmake -S "$source/tests/consumer" -B "$work/consumer" -G Ninja \
  -DCMAKE_PREFIX_PATH="$prefix" > /dev/null
cmake --build "$work/consumer" > /dev/null
out=$(LD_LIBRARY_PATH=$prefix/lib "$work/consumer/consumer")
[ "$out" = $'fopen fp_s error\nfopen fname_t error' ] || fail "consumer: $out"
echo "install contract holds"
