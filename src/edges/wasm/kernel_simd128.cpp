// The fused detector for WebAssembly engines with 128-bit SIMD: the vector
// type the generic row hooks run on, 8 pixels a gray step and 16 a target
// step, in 16-bit lanes. The whole module is built with -msimd128 and only
// loaded where the engine validates SIMD, so this variant is always chosen
// there. Pixels of 3 and 4 bytes take the vector paths; row tails and other
// pixel sizes the plain loops, compiled for SIMD128 too.
//
// Engines lower these operations to the host's instructions one by one, so
// the choices are those that map to one SSE or NEON instruction: constant
// shuffles, i32x4.dot_i16x8_s (pmaddwd), narrows (packs).
#include <wasm_simd128.h>

#include <cstddef>
#include <cstdint>

#include "edges/edge_variants.h"
#include "edges/fused_kernel.h"
#include "edges/vector_rows.h"

namespace edgemap {
namespace {
namespace simd128 {

inline v128_t load(const void* p) { return wasm_v128_load(p); }
inline void store(void* p, v128_t x) { wasm_v128_store(p, x); }

// q15mulr_sat gives (x * third + 2^14) >> 15, a rounded x / 3 with an error
// below 1/128 for x up to 764; rounded, (sum - 1) / 3 is the truncated
// third of every byte sum from 0 to 765 (and -1 / 3 rounds to 0).
constexpr std::int16_t third = 10923;

// Byte sums of 4 pixels of 4 bytes (b, g, r, x): x cleared, pairs of bytes
// added, then pairs of words by a dot product with ones (pmaddwd; the
// words are at most 510, so signed is exact, and engines lower unsigned
// pairwise word sums to several instructions).
inline v128_t sums4(v128_t px) {
  const v128_t colour = wasm_i32x4_splat(0x00FFFFFF);
  return wasm_i32x4_dot_i16x8(
      wasm_u16x8_extadd_pairwise_u8x16(wasm_v128_and(px, colour)),
      wasm_i16x8_splat(1));
}

// Gray levels of 8 pixels at p as words. Three-byte pixels are first laid
// out as (b, g, r, 0), pixels 4..7 from a load ending at pixel 7's end
// (byte 8 on), so that nothing past the last pixel is read.
template <std::uint32_t bpp>
inline v128_t gray8(const std::uint8_t* p) {
  v128_t x, y;
  if constexpr (bpp == 3) {
    const v128_t zero = wasm_i8x16_splat(0);
    x = wasm_i8x16_shuffle(load(p), zero, 0, 1, 2, 16, 3, 4, 5, 16, 6, 7, 8, 16,
                           9, 10, 11, 16);
    y = wasm_i8x16_shuffle(load(p + 8), zero, 4, 5, 6, 16, 7, 8, 9, 16, 10, 11,
                           12, 16, 13, 14, 15, 16);
  } else {
    x = load(p);
    y = load(p + 16);
  }
  const v128_t sums = wasm_u16x8_narrow_i32x4(sums4(x), sums4(y));
  return wasm_i16x8_q15mulr_sat(wasm_i16x8_sub(sums, wasm_i16x8_splat(1)),
                                wasm_i16x8_splat(third));
}

struct vec {
  using words = v128_t;
  static constexpr std::uint32_t lanes = 8;
  static words load(const std::int16_t* p) { return simd128::load(p); }
  static void store(std::int16_t* p, words x) { simd128::store(p, x); }
  static words add(words x, words y) { return wasm_i16x8_add(x, y); }
  static words sub(words x, words y) { return wasm_i16x8_sub(x, y); }

  template <std::uint32_t bpp>
  static constexpr bool takes = bpp == 3 || bpp == 4;

  static constexpr std::uint32_t gray_step = 8;
  template <std::uint32_t bpp>
  static void gray(const std::uint8_t* p, words g[1]) {
    g[0] = gray8<bpp>(p);
  }

  // Every threshold: the sums are compared exactly, in 32-bit lanes.
  static constexpr std::uint32_t edge_step = 16;
  static bool decides(const fused::limits& /*lim*/) { return true; }
  static v128_t thresholds(const fused::limits& lim) {
    return wasm_i32x4_splat(static_cast<std::int32_t>(lim.black_sum));
  }

  // 8 pixels from j: 0xFFFF for those whose gradient sum stays below the
  // least black sum. Interleaved (gx, gy) pairs give gx^2 + gy^2 in one
  // dot product, and the narrow of the two halves restores pixel order.
  static v128_t no_edge8(const std::int16_t* v, const std::int16_t* d,
                         std::size_t j, v128_t black) {
    const auto g = fused::gradients_at<vec>(v, d, j);
    const v128_t lo = wasm_i16x8_shuffle(g.gx, g.gy, 0, 8, 1, 9, 2, 10, 3, 11);
    const v128_t hi =
        wasm_i16x8_shuffle(g.gx, g.gy, 4, 12, 5, 13, 6, 14, 7, 15);
    return wasm_i16x8_narrow_i32x4(
        wasm_i32x4_gt(black, wasm_i32x4_dot_i16x8(lo, lo)),
        wasm_i32x4_gt(black, wasm_i32x4_dot_i16x8(hi, hi)));
  }
  // 16 pixels from j: 0xFF for those that are no edge.
  static v128_t no_edge(const std::int16_t* v, const std::int16_t* d,
                        std::size_t j, v128_t black) {
    return wasm_i8x16_narrow_i16x8(no_edge8(v, d, j, black),
                                   no_edge8(v, d, j + 8, black));
  }

  // Target bytes of 16 pixels from no_edge: a 3-byte picture's level
  // spread over three bytes a pixel by constant shuffles, a 4-byte one's
  // with the source's fourth bytes shuffled in beside it.
  template <std::uint32_t bpp, edge_output output>
  static void put(v128_t no_edge, std::uint8_t* t, const std::uint8_t* s) {
    if constexpr (output == edge_output::mask) {
      simd128::store(t, wasm_v128_andnot(wasm_i8x16_splat(1), no_edge));
    } else if constexpr (bpp == 3) {
      simd128::store(t, wasm_i8x16_shuffle(no_edge, no_edge, 0, 0, 0, 1, 1, 1,
                                           2, 2, 2, 3, 3, 3, 4, 4, 4, 5));
      simd128::store(
          t + 16, wasm_i8x16_shuffle(no_edge, no_edge, 5, 5, 6, 6, 6, 7, 7, 7,
                                     8, 8, 8, 9, 9, 9, 10, 10));
      simd128::store(
          t + 32, wasm_i8x16_shuffle(no_edge, no_edge, 10, 11, 11, 11, 12, 12,
                                     12, 13, 13, 13, 14, 14, 14, 15, 15, 15));
    } else {
      simd128::store(
          t, wasm_i8x16_shuffle(no_edge, simd128::load(s), 0, 0, 0, 19, 1, 1, 1,
                                23, 2, 2, 2, 27, 3, 3, 3, 31));
      simd128::store(t + 16, wasm_i8x16_shuffle(no_edge, simd128::load(s + 16),
                                                4, 4, 4, 19, 5, 5, 5, 23, 6, 6,
                                                6, 27, 7, 7, 7, 31));
      simd128::store(t + 32, wasm_i8x16_shuffle(no_edge, simd128::load(s + 32),
                                                8, 8, 8, 19, 9, 9, 9, 23, 10,
                                                10, 10, 27, 11, 11, 11, 31));
      simd128::store(
          t + 48,
          wasm_i8x16_shuffle(no_edge, simd128::load(s + 48), 12, 12, 12, 19, 13,
                             13, 13, 23, 14, 14, 14, 27, 15, 15, 15, 31));
    }
  }
};

}  // namespace simd128
}  // namespace

void detect_edges_simd128(const pixel_view& view, double threshold) noexcept {
  fused::run<fused::vector_rows<simd128::vec, false>>(
      view, least_black_sum(threshold));
}

}  // namespace edgemap
