// The fused detector for AVX2 processors: 3-byte pixels eight at a time in
// 32-bit lanes, the rest (row tails, other pixel sizes) by the plain loops
// compiled for AVX2.
#include <immintrin.h>

#include "edges/edge_variants.h"
#include "edges/fused_kernel.h"

namespace edgemap {
namespace {

// How far ahead of the grey loop the source is fetched, in bytes.
constexpr std::size_t prefetch_ahead = 2048;

struct avx2_rows {
  using grey_t = std::int32_t;
  using grey_type = grey_t;

  // Grey levels of 8 pixels per step. Each 128-bit half takes 4 whole
  // pixels (12 of its 16 bytes); a byte shuffle lays them out as
  // (b, g, r, 0), a multiply-add of bytes gives (b + g, r) and one of words
  // (b + g + r) * 21846, whose top half is the truncated third for every
  // sum up to 765.
  static std::uint32_t grey3(const std::uint8_t* src, grey_t* out,
                             std::uint32_t n) {
    const __m256i halves = _mm256_setr_epi32(0, 1, 2, 3, 3, 4, 5, 6);
    const __m256i spread = _mm256_setr_epi8(
        0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1,  //
        0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    const __m256i ones = _mm256_set1_epi8(1);
    const __m256i third = _mm256_set1_epi16(21846);
    std::uint32_t j = 0;
    // A step reads 32 bytes from pixel j: 11 pixels' worth.
    for (; j + 11 <= n; j += 8) {
      const std::uint8_t* p = src + std::size_t{j} * 3;
      // Far larger images than the cache: the hardware prefetcher alone
      // leaves the loop waiting for the source.
      if (j % 16 == 0) {
        _mm_prefetch(reinterpret_cast<const char*>(p + prefetch_ahead),
                     _MM_HINT_T0);
      }
      __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
      x = _mm256_permutevar8x32_epi32(x, halves);
      x = _mm256_shuffle_epi8(x, spread);
      x = _mm256_maddubs_epi16(x, ones);
      x = _mm256_madd_epi16(x, third);
      x = _mm256_srli_epi32(x, 16);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j), x);
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
    alignas(32) std::int32_t vs[chunk + 8];
    alignas(32) std::int32_t ds[chunk + 8];
    const __m256i limit = _mm256_set1_epi32(static_cast<int>(black_sum));
    const __m256i drop_fourth = _mm256_setr_epi8(
        0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,  //
        0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    const __m256i join = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7);
    auto at = [](const std::int32_t* p) {
      return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    };
    std::uint32_t j = 0;
    while (j + 8 <= n) {
      const std::uint32_t left = (n - j) & ~7u;
      const std::uint32_t m = left < chunk ? left : chunk;
      for (std::uint32_t k = 0; k < m + 2; k += 8) {
        const __m256i above = at(a + j + k), mid = at(b + j + k),
                      below = at(c + j + k);
        const __m256i v = _mm256_add_epi32(_mm256_add_epi32(above, below),
                                           _mm256_add_epi32(mid, mid));
        const __m256i d = _mm256_slli_epi32(_mm256_sub_epi32(below, above), 16);
        _mm256_store_si256(reinterpret_cast<__m256i*>(vs + k), v);
        _mm256_store_si256(reinterpret_cast<__m256i*>(ds + k), d);
      }
      for (std::uint32_t p = 0; p < m; p += 8) {
        const __m256i gx = _mm256_sub_epi32(at(vs + p + 2), at(vs + p));
        const __m256i d1 = at(ds + p + 1);
        const __m256i gy =
            _mm256_add_epi32(_mm256_add_epi32(at(ds + p), at(ds + p + 2)),
                             _mm256_add_epi32(d1, d1));
        const __m256i both = _mm256_blend_epi16(gx, gy, 0xAA);
        const __m256i sum = _mm256_madd_epi16(both, both);
        const __m256i white = _mm256_cmpgt_epi32(limit, sum);
        const __m256i bytes = _mm256_permutevar8x32_epi32(
            _mm256_shuffle_epi8(white, drop_fourth), join);
        std::uint8_t* t = dst + std::size_t{j + p} * 3;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(t),
                         _mm256_castsi256_si128(bytes));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(t + 16),
                         _mm256_extracti128_si256(bytes, 1));
      }
      j += m;
    }
    return j;
  }
};

}  // namespace

void detect_edges_avx2(const pixel_view& view, double threshold) noexcept {
  fused::run<avx2_rows>(view, least_black_sum(threshold));
}

}  // namespace edgemap
