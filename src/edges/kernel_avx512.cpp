// The fused detector for AVX-512 (F, BW, VL, DQ) processors: 3-byte pixels
// 32 at a time with 16-bit grey levels, the rest (row tails, other pixel
// sizes) by the plain loops compiled for AVX-512.
#if defined(__GNUC__) && !defined(__clang__)
// GCC 12 reports the undefined vectors its own AVX-512 intrinsics start
// from as maybe uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>

#include <cstring>

#include "edges/edge_variants.h"
#include "edges/fused_kernel.h"
#include "edges/streaming_x86.h"

namespace edgemap {
namespace {

// How far ahead of the grey loop the source is fetched, in bytes.
constexpr std::size_t prefetch_ahead = 2048;

// Grey levels in 16 bits: 32 pixels per instruction for the sums, which
// stay within 16 bits (|gx|, |gy| <= 1020), and 16 per multiply-add.
// With stream set, targets are written past the cache.
template <bool stream>
struct avx512_rows {
  using grey_type = std::int16_t;

  // 32 pixels (96 bytes) per step. Two dword permutations of 128 loaded
  // bytes give each 128-bit quarter four whole pixels, so that after the
  // pack below the levels come out in pixel order: the first permutation
  // takes pixels 8q..8q+3 into quarter q, the second 8q+4..8q+7. A byte
  // shuffle lays each pixel out as (b, g, r, 0), multiply-adds of bytes and
  // words sum it into a dword, the pack narrows to words and the high half
  // of sum * 21846 is the truncated third for every sum up to 765.
  static std::uint32_t grey3(const std::uint8_t* src, grey_type* out,
                             std::uint32_t n) {
    const __m512i first = _mm512_setr_epi32(0, 1, 2, 3, 6, 7, 8, 9,  //
                                            12, 13, 14, 15, 18, 19, 20, 21);
    const __m512i second = _mm512_setr_epi32(3, 4, 5, 6, 9, 10, 11, 12,  //
                                             15, 16, 17, 18, 21, 22, 23, 24);
    const __m512i spread = _mm512_broadcast_i32x4(
        _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1));
    const __m512i ones8 = _mm512_set1_epi8(1);
    const __m512i ones16 = _mm512_set1_epi16(1);
    const __m512i third = _mm512_set1_epi16(21846);
    std::uint32_t j = 0;
    // A step reads 128 bytes from pixel j: 43 pixels' worth.
    for (; j + 43 <= n; j += 32) {
      const std::uint8_t* p = src + std::size_t{j} * 3;
      // Far larger images than the cache: the hardware prefetcher alone
      // leaves the loop waiting for the source.
      _mm_prefetch(reinterpret_cast<const char*>(p + prefetch_ahead),
                   _MM_HINT_T0);
      _mm_prefetch(reinterpret_cast<const char*>(p + prefetch_ahead + 64),
                   _MM_HINT_T0);
      const __m512i lo = _mm512_loadu_si512(p);
      const __m512i hi = _mm512_loadu_si512(p + 64);
      __m512i x = _mm512_permutex2var_epi32(lo, first, hi);
      __m512i y = _mm512_permutex2var_epi32(lo, second, hi);
      x = _mm512_madd_epi16(
          _mm512_maddubs_epi16(_mm512_shuffle_epi8(x, spread), ones8), ones16);
      y = _mm512_madd_epi16(
          _mm512_maddubs_epi16(_mm512_shuffle_epi8(y, spread), ones8), ones16);
      const __m512i sums = _mm512_packus_epi32(x, y);
      _mm512_storeu_si512(out + j, _mm512_mulhi_epu16(sums, third));
    }
    return j;
  }

  // Target pixels in chunks: first the vertical parts of both operators for
  // each column (v = above + 2 * at + below, d = below - above), then per
  // pixel gx = v[j + 1] - v[j - 1] and gy = d[j - 1] + 2 * d[j] + d[j + 1].
  // Interleaved (gx, gy) word pairs give gx^2 + gy^2 in one multiply-add;
  // the interleave works within 128-bit quarters, so the low half holds
  // pixels 8q..8q+3 of each quarter q and the high half 8q+4..8q+7, which
  // the final permutation puts back in order as it drops every fourth
  // byte.
  static std::uint32_t edges3(const grey_type* a, const grey_type* b,
                              const grey_type* c, std::uint8_t* dst,
                              std::uint32_t n, std::uint32_t black_sum) {
    constexpr std::uint32_t chunk = 512;
    alignas(64) grey_type vs[chunk + 32];
    alignas(64) grey_type ds[chunk + 32];
    const __m512i limit = _mm512_set1_epi32(static_cast<int>(black_sum));
    const __m512i drop_fourth = _mm512_broadcast_i32x4(
        _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1));
    // Dwords of the output from the low (0..15) and high (16..31) halves.
    const __m512i order0 = _mm512_setr_epi32(0, 1, 2, 16, 17, 18, 4, 5,  //
                                             6, 20, 21, 22, 8, 9, 10, 24);
    const __m512i order1 = _mm512_setr_epi32(25, 26, 12, 13, 14, 28, 29, 30, 0,
                                             0, 0, 0, 0, 0, 0, 0);
    auto at = [](const grey_type* p) { return _mm512_loadu_si512(p); };
    // Streaming: a chunk's output goes to a buffer at the target's
    // alignment, then whole cache lines to memory past the cache.
    alignas(64) std::uint8_t stage[3 * chunk + 128];
    std::uint32_t j = 0;
    while (j + 32 <= n) {
      const std::uint32_t left = (n - j) & ~31u;
      const std::uint32_t m = left < chunk ? left : chunk;
      std::uint8_t* const out = dst + std::size_t{j} * 3;
      const std::size_t skew =
          stream ? reinterpret_cast<std::uintptr_t>(out) & 63 : 0;
      std::uint8_t* const put = stream ? stage + skew : out;
      for (std::uint32_t k = 0; k < m + 2; k += 32) {
        const __m512i above = at(a + j + k), mid = at(b + j + k),
                      below = at(c + j + k);
        const __m512i v = _mm512_add_epi16(_mm512_add_epi16(above, below),
                                           _mm512_add_epi16(mid, mid));
        _mm512_store_si512(vs + k, v);
        _mm512_store_si512(ds + k, _mm512_sub_epi16(below, above));
      }
      for (std::uint32_t p = 0; p < m; p += 32) {
        const __m512i gx = _mm512_sub_epi16(at(vs + p + 2), at(vs + p));
        const __m512i d1 = at(ds + p + 1);
        const __m512i gy =
            _mm512_add_epi16(_mm512_add_epi16(at(ds + p), at(ds + p + 2)),
                             _mm512_add_epi16(d1, d1));
        const __m512i lo = _mm512_unpacklo_epi16(gx, gy);
        const __m512i hi = _mm512_unpackhi_epi16(gx, gy);
        const __m512i white_lo = _mm512_movm_epi32(
            _mm512_cmplt_epi32_mask(_mm512_madd_epi16(lo, lo), limit));
        const __m512i white_hi = _mm512_movm_epi32(
            _mm512_cmplt_epi32_mask(_mm512_madd_epi16(hi, hi), limit));
        const __m512i bytes_lo = _mm512_shuffle_epi8(white_lo, drop_fourth);
        const __m512i bytes_hi = _mm512_shuffle_epi8(white_hi, drop_fourth);
        std::uint8_t* t = put + std::size_t{p} * 3;
        _mm512_storeu_si512(
            t, _mm512_permutex2var_epi32(bytes_lo, order0, bytes_hi));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(t + 64),
                            _mm512_castsi512_si256(_mm512_permutex2var_epi32(
                                bytes_lo, order1, bytes_hi)));
      }
      if (stream) {
        const std::size_t bytes = std::size_t{m} * 3;
        std::size_t k = (64 - skew) & 63;
        k = k < bytes ? k : bytes;
        std::memcpy(out, put, k);
        for (; k + 64 <= bytes; k += 64) {
          _mm512_stream_si512(reinterpret_cast<__m512i*>(out + k),
                              _mm512_load_si512(put + k));
        }
        std::memcpy(out + k, put + k, bytes - k);
      }
      j += m;
    }
    return j;
  }
};

}  // namespace

void detect_edges_avx512(const pixel_view& view, double threshold) noexcept {
  run_x86<avx512_rows>(view, threshold, false);
}

void detect_edges_avx512_stream(const pixel_view& view,
                                double threshold) noexcept {
  run_x86<avx512_rows>(view, threshold, true);
}

}  // namespace edgemap
