// The fused detector for AVX-512 (F, BW, VL, DQ) processors: 3-byte pixels
// sixteen at a time in 32-bit lanes, the rest (row tails, other pixel
// sizes) by the plain loops compiled for AVX-512. The steps are those of
// kernel_avx2.cpp on four 128-bit quarters instead of two.
#if defined(__GNUC__) && !defined(__clang__)
// GCC 12 reports the undefined vectors its own AVX-512 intrinsics start
// from as maybe uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include "edges/edge_variants.h"
#include "edges/fused_kernel.h"

namespace edgemap {
namespace {

struct avx512_rows {
  using grey_t = std::int32_t;
  using grey_type = grey_t;

  static std::uint32_t grey3(const std::uint8_t* src, grey_t* out,
                             std::uint32_t n) {
    const __m512i quarters = _mm512_setr_epi32(0, 1, 2, 3, 3, 4, 5, 6,  //
                                               6, 7, 8, 9, 9, 10, 11, 12);
    const __m512i spread = _mm512_broadcast_i32x4(
        _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1));
    const __m512i ones = _mm512_set1_epi8(1);
    const __m512i third = _mm512_set1_epi16(21846);
    std::uint32_t j = 0;
    // A step reads 64 bytes from pixel j: 22 pixels' worth.
    for (; j + 22 <= n; j += 16) {
      __m512i x = _mm512_loadu_si512(src + std::size_t{j} * 3);
      x = _mm512_permutexvar_epi32(quarters, x);
      x = _mm512_shuffle_epi8(x, spread);
      x = _mm512_maddubs_epi16(x, ones);
      x = _mm512_madd_epi16(x, third);
      x = _mm512_srli_epi32(x, 16);
      _mm512_storeu_si512(out + j, x);
    }
    return j;
  }

  // Target pixels in chunks: first the vertical parts of both operators
  // for each column (v = above + 2 * at + below, and d = below - above,
  // kept shifted into the high half of the lane), then per pixel
  // gx = v[j + 1] - v[j - 1] and gy = d[j - 1] + 2 * d[j] + d[j + 1]. gx in
  // the low half and gy in the high half of one lane give gx^2 + gy^2 in a
  // single word multiply-add.
  static std::uint32_t edges3(const grey_t* a, const grey_t* b, const grey_t* c,
                              std::uint8_t* dst, std::uint32_t n,
                              std::uint32_t black_sum) {
    constexpr std::uint32_t chunk = 256;
    alignas(64) std::int32_t vs[chunk + 16];
    alignas(64) std::int32_t ds[chunk + 16];
    const __m512i limit = _mm512_set1_epi32(static_cast<int>(black_sum));
    const __m512i drop_fourth = _mm512_broadcast_i32x4(
        _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1));
    const __m512i join = _mm512_setr_epi32(0, 1, 2, 4, 5, 6, 8, 9,  //
                                           10, 12, 13, 14, 15, 15, 15, 15);
    constexpr __mmask64 first48 = (__mmask64{1} << 48) - 1;
    auto at = [](const std::int32_t* p) { return _mm512_loadu_si512(p); };
    std::uint32_t j = 0;
    while (j + 16 <= n) {
      const std::uint32_t left = (n - j) & ~15u;
      const std::uint32_t m = left < chunk ? left : chunk;
      for (std::uint32_t k = 0; k < m + 2; k += 16) {
        const __m512i above = at(a + j + k), mid = at(b + j + k),
                      below = at(c + j + k);
        const __m512i v = _mm512_add_epi32(_mm512_add_epi32(above, below),
                                           _mm512_add_epi32(mid, mid));
        const __m512i d = _mm512_slli_epi32(_mm512_sub_epi32(below, above), 16);
        _mm512_store_si512(vs + k, v);
        _mm512_store_si512(ds + k, d);
      }
      for (std::uint32_t p = 0; p < m; p += 16) {
        const __m512i gx = _mm512_sub_epi32(at(vs + p + 2), at(vs + p));
        const __m512i d1 = at(ds + p + 1);
        const __m512i gy =
            _mm512_add_epi32(_mm512_add_epi32(at(ds + p), at(ds + p + 2)),
                             _mm512_add_epi32(d1, d1));
        const __m512i both = _mm512_mask_blend_epi16(0xAAAAAAAAu, gx, gy);
        const __m512i sum = _mm512_madd_epi16(both, both);
        const __m512i white =
            _mm512_movm_epi32(_mm512_cmplt_epi32_mask(sum, limit));
        const __m512i bytes = _mm512_permutexvar_epi32(
            join, _mm512_shuffle_epi8(white, drop_fourth));
        _mm512_mask_storeu_epi8(dst + std::size_t{j + p} * 3, first48, bytes);
      }
      j += m;
    }
    return j;
  }
};

}  // namespace

void detect_edges_avx512(const pixel_view& view, double threshold) noexcept {
  fused::run<avx512_rows>(view, least_black_sum(threshold));
}

}  // namespace edgemap
