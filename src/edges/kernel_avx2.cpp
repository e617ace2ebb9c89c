// The fused detector for AVX2 processors: 3-byte pixels 16 at a time with
// 16-bit grey levels, the rest (row tails, other pixel sizes) by the plain
// loops compiled for AVX2.
#include <immintrin.h>

#include <cstring>

#include "edges/edge_variants.h"
#include "edges/fused_kernel.h"
#include "edges/streaming_x86.h"

namespace edgemap {
namespace {

// How far ahead of the grey loop the source is fetched, in bytes.
constexpr std::size_t prefetch_ahead = 2048;

// Grey levels in 16 bits: 16 pixels per instruction for the sums, which
// stay within 16 bits (|gx|, |gy| <= 1020), and 8 per multiply-add.
// With stream set, targets are written past the cache.
template <bool stream>
struct avx2_rows {
  using grey_type = std::int16_t;

  // 16 pixels (48 bytes) per step. Each 128-bit half of x takes four whole
  // pixels (pixels 0..3 and 8..11), of y the four after them (4..7 and
  // 12..15), so that after the pack below the levels come out in pixel
  // order. A byte shuffle lays each pixel out as (b, g, r, 0),
  // multiply-adds of bytes and words sum it into a dword, the pack narrows
  // to words and the high half of sum * 21846 is the truncated third for
  // every sum up to 765.
  static std::uint32_t grey3(const std::uint8_t* src, grey_type* out,
                             std::uint32_t n) {
    const __m256i spread = _mm256_setr_epi8(
        0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1,  //
        0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    const __m256i ones8 = _mm256_set1_epi8(1);
    const __m256i ones16 = _mm256_set1_epi16(1);
    const __m256i third = _mm256_set1_epi16(21846);
    auto halves = [](const std::uint8_t* low, const std::uint8_t* high) {
      return _mm256_inserti128_si256(
          _mm256_castsi128_si256(
              _mm_loadu_si128(reinterpret_cast<const __m128i*>(low))),
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(high)), 1);
    };
    std::uint32_t j = 0;
    // A step reads 52 bytes from pixel j: 18 pixels' worth.
    for (; j + 18 <= n; j += 16) {
      const std::uint8_t* p = src + std::size_t{j} * 3;
      // Far larger images than the cache: the hardware prefetcher alone
      // leaves the loop waiting for the source.
      _mm_prefetch(reinterpret_cast<const char*>(p + prefetch_ahead),
                   _MM_HINT_T0);
      __m256i x = halves(p, p + 24);
      __m256i y = halves(p + 12, p + 36);
      x = _mm256_madd_epi16(
          _mm256_maddubs_epi16(_mm256_shuffle_epi8(x, spread), ones8), ones16);
      y = _mm256_madd_epi16(
          _mm256_maddubs_epi16(_mm256_shuffle_epi8(y, spread), ones8), ones16);
      const __m256i sums = _mm256_packus_epi32(x, y);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j),
                          _mm256_mulhi_epu16(sums, third));
    }
    return j;
  }

  // Target pixels in chunks: first the vertical parts of both operators for
  // each column (v = above + 2 * at + below, d = below - above), then per
  // pixel gx = v[j + 1] - v[j - 1] and gy = d[j - 1] + 2 * d[j] + d[j + 1].
  // Interleaved (gx, gy) word pairs give gx^2 + gy^2 in one multiply-add;
  // the interleave works within 128-bit halves, so the low result holds
  // pixels 0..3 and 8..11 and the high one 4..7 and 12..15: each half of
  // the output is 12 bytes of one followed by 12 of the other.
  static std::uint32_t edges3(const grey_type* a, const grey_type* b,
                              const grey_type* c, std::uint8_t* dst,
                              std::uint32_t n, std::uint32_t black_sum) {
    constexpr std::uint32_t chunk = 512;
    alignas(32) grey_type vs[chunk + 16];
    alignas(32) grey_type ds[chunk + 16];
    // Streaming: a chunk's output goes to a buffer at the target's
    // alignment, then whole 32-byte blocks to memory past the cache.
    alignas(32) std::uint8_t stage[3 * chunk + 64];
    const __m256i limit = _mm256_set1_epi32(static_cast<int>(black_sum));
    const __m256i drop_fourth = _mm256_setr_epi8(
        0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,  //
        0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    auto at = [](const grey_type* p) {
      return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    };
    auto put16 = [](std::uint8_t* t, __m128i x) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(t), x);
    };
    auto put8 = [](std::uint8_t* t, __m128i x) {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(t), x);
    };
    std::uint32_t j = 0;
    while (j + 16 <= n) {
      const std::uint32_t left = (n - j) & ~15u;
      const std::uint32_t m = left < chunk ? left : chunk;
      std::uint8_t* const out = dst + std::size_t{j} * 3;
      const std::size_t skew =
          stream ? reinterpret_cast<std::uintptr_t>(out) & 31 : 0;
      std::uint8_t* const put = stream ? stage + skew : out;
      for (std::uint32_t k = 0; k < m + 2; k += 16) {
        const __m256i above = at(a + j + k), mid = at(b + j + k),
                      below = at(c + j + k);
        const __m256i v = _mm256_add_epi16(_mm256_add_epi16(above, below),
                                           _mm256_add_epi16(mid, mid));
        _mm256_store_si256(reinterpret_cast<__m256i*>(vs + k), v);
        _mm256_store_si256(reinterpret_cast<__m256i*>(ds + k),
                           _mm256_sub_epi16(below, above));
      }
      for (std::uint32_t p = 0; p < m; p += 16) {
        const __m256i gx = _mm256_sub_epi16(at(vs + p + 2), at(vs + p));
        const __m256i d1 = at(ds + p + 1);
        const __m256i gy =
            _mm256_add_epi16(_mm256_add_epi16(at(ds + p), at(ds + p + 2)),
                             _mm256_add_epi16(d1, d1));
        const __m256i lo = _mm256_unpacklo_epi16(gx, gy);
        const __m256i hi = _mm256_unpackhi_epi16(gx, gy);
        const __m256i white_lo =
            _mm256_cmpgt_epi32(limit, _mm256_madd_epi16(lo, lo));
        const __m256i white_hi =
            _mm256_cmpgt_epi32(limit, _mm256_madd_epi16(hi, hi));
        const __m256i bytes_lo = _mm256_shuffle_epi8(white_lo, drop_fourth);
        const __m256i bytes_hi = _mm256_shuffle_epi8(white_hi, drop_fourth);
        // Per half: 12 bytes of lo and the first 4 of hi, then hi's last 8.
        const __m256i head =
            _mm256_or_si256(bytes_lo, _mm256_bslli_epi128(bytes_hi, 12));
        const __m256i tail = _mm256_bsrli_epi128(bytes_hi, 4);
        std::uint8_t* t = put + std::size_t{p} * 3;
        put16(t, _mm256_castsi256_si128(head));
        put8(t + 16, _mm256_castsi256_si128(tail));
        put16(t + 24, _mm256_extracti128_si256(head, 1));
        put8(t + 40, _mm256_extracti128_si256(tail, 1));
      }
      if (stream) {
        const std::size_t bytes = std::size_t{m} * 3;
        std::size_t k = (32 - skew) & 31;
        k = k < bytes ? k : bytes;
        std::memcpy(out, put, k);
        for (; k + 32 <= bytes; k += 32) {
          _mm256_stream_si256(
              reinterpret_cast<__m256i*>(out + k),
              _mm256_load_si256(reinterpret_cast<const __m256i*>(put + k)));
        }
        std::memcpy(out + k, put + k, bytes - k);
      }
      j += m;
    }
    return j;
  }
};

}  // namespace

void detect_edges_avx2(const pixel_view& view, double threshold) noexcept {
  run_x86<avx2_rows>(view, threshold, false);
}

void detect_edges_avx2_stream(const pixel_view& view,
                              double threshold) noexcept {
  run_x86<avx2_rows>(view, threshold, true);
}

}  // namespace edgemap
