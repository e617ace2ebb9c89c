// The fused detector for AVX2 processors: the fused driver's hooks, 16
// pixels a step for grey levels and 32 for targets, in 16-bit lanes.
// Pixels of 3 and 4 bytes take the vector paths; row tails and other pixel
// sizes the plain loops compiled for AVX2.
#include <immintrin.h>

#include <array>
#include <cstring>

#include "edges/edge_variants.h"
#include "edges/fused_kernel.h"
#include "edges/streaming_x86.h"

namespace edgemap {
namespace {
namespace avx2 {

using table = std::array<std::uint8_t, 32>;

template <class F>
constexpr table make_table(F byte) {
  return byte_table<32>(byte);
}

inline __m256i load(const void* p) {
  return _mm256_loadu_si256(static_cast<const __m256i*>(p));
}
inline __m256i load(const table& t) { return load(t.data()); }
inline __m128i load16(const void* p) {
  return _mm_loadu_si128(static_cast<const __m128i*>(p));
}
inline void store(void* p, __m256i x) {
  _mm256_storeu_si256(static_cast<__m256i*>(p), x);
}

// The high half of sum * 21846 is the truncated third of every sum up to
// 765.
constexpr short third = 21846;

// (b, g, r, 0) for four 3-byte pixels from byte `from` of a 128-bit lane.
constexpr int pixel_byte(int i, int from) {
  return i % 4 == 3 ? -1 : from + i / 4 * 3 + i % 4;
}
constexpr table pixels_at0 =
    make_table([](int i) { return pixel_byte(i % 16, 0); });
constexpr table pixels_at0_and4 =
    make_table([](int i) { return pixel_byte(i % 16, i < 16 ? 0 : 4); });

// Grey levels of 16 pixels at p, as words. 3 bytes: each 128-bit lane of x
// takes four whole pixels (0..3 and 8..11), of y the four after them (4..7
// and 12..15, the last from a load that ends at the 16th pixel's end), so
// that the pack below keeps pixel order. A byte shuffle lays each pixel
// out as (b, g, r, 0), and multiply-adds of bytes and words sum it into a
// dword. 4 bytes: the multiply-adds weigh the fourth byte 0, and the pack's
// interleave of 128-bit lanes is undone by a qword permutation.
template <std::uint32_t bpp>
inline __m256i grey16(const std::uint8_t* p) {
  const __m256i ones16 = _mm256_set1_epi16(1);
  __m256i x, y;
  if constexpr (bpp == 3) {
    const __m256i ones8 = _mm256_set1_epi8(1);
    x = _mm256_inserti128_si256(_mm256_castsi128_si256(load16(p)),
                                load16(p + 24), 1);
    y = _mm256_inserti128_si256(_mm256_castsi128_si256(load16(p + 12)),
                                load16(p + 32), 1);
    x = _mm256_maddubs_epi16(_mm256_shuffle_epi8(x, load(pixels_at0)), ones8);
    y = _mm256_maddubs_epi16(_mm256_shuffle_epi8(y, load(pixels_at0_and4)),
                             ones8);
    x = _mm256_madd_epi16(x, ones16);
    y = _mm256_madd_epi16(y, ones16);
    return _mm256_mulhi_epu16(_mm256_packus_epi32(x, y),
                              _mm256_set1_epi16(third));
  } else {
    const __m256i weights = _mm256_set1_epi32(0x00010101);
    x = _mm256_madd_epi16(_mm256_maddubs_epi16(load(p), weights), ones16);
    y = _mm256_madd_epi16(_mm256_maddubs_epi16(load(p + 32), weights), ones16);
    return _mm256_mulhi_epu16(
        _mm256_permute4x64_epi64(_mm256_packus_epi32(x, y), 0xD8),
        _mm256_set1_epi16(third));
  }
}

// Target bytes of 32 pixels from `flat` (0xFF where no edge), which the
// pack left in the order 0..7, 16..23 | 8..15, 24..31.
//
// 3-byte pictures: output vector r holds bytes 32 r .. 32 r + 31, pixels
// (32 r + o) / 3; a qword permutation gives each 128-bit lane the 16
// pixels its bytes need (0..15, 0..15 | 0..15, 16..31 | 16..31, 16..31).
constexpr table spread3(int r) {
  return make_table([r](int o) {
    const int base = r == 0 ? 0 : r == 2 ? 16 : (o < 16 ? 0 : 16);
    return (32 * r + o) / 3 - base;
  });
}
constexpr std::array<table, 3> spread3_tables = {spread3(0), spread3(1),
                                                 spread3(2)};
// The first three bytes of each 4-byte pixel.
constexpr table colour_bytes =
    make_table([](int o) { return o % 4 == 3 ? 0 : 0xFF; });

template <std::uint32_t bpp, edge_output output>
inline void put32(__m256i flat, std::uint8_t* t, const std::uint8_t* s) {
  if constexpr (output == edge_output::mask) {
    store(t, _mm256_permute4x64_epi64(
                 _mm256_andnot_si256(flat, _mm256_set1_epi8(1)), 0xD8));
  } else if constexpr (bpp == 3) {
    store(t, _mm256_shuffle_epi8(_mm256_permute4x64_epi64(flat, 0x88),
                                 load(spread3_tables[0])));
    store(t + 32, _mm256_shuffle_epi8(_mm256_permute4x64_epi64(flat, 0xD8),
                                      load(spread3_tables[1])));
    store(t + 64, _mm256_shuffle_epi8(_mm256_permute4x64_epi64(flat, 0xDD),
                                      load(spread3_tables[2])));
  } else {
    // Sign extension makes each level byte a whole pixel; the source's
    // fourth bytes are blended in.
    const __m256i colour = load(colour_bytes);
    const __m128i lo = _mm256_castsi256_si128(flat);
    const __m128i hi = _mm256_extracti128_si256(flat, 1);
    const __m128i eighths[4] = {lo, hi, _mm_srli_si128(lo, 8),
                                _mm_srli_si128(hi, 8)};
    for (std::size_t q = 0; q < 4; ++q) {
      store(t + 32 * q,
            _mm256_blendv_epi8(load(s + 32 * q),
                               _mm256_cvtepi8_epi32(eighths[q]), colour));
    }
  }
}

// With far set (targets larger than the cache), the source is prefetched
// and targets are written past the cache.
template <bool far>
struct rows {
  template <std::uint32_t bpp>
  static std::uint32_t vertical(const std::uint8_t* src, const std::int16_t* a,
                                const std::int16_t* b, std::int16_t* c,
                                std::int16_t* v, std::int16_t* d,
                                std::uint32_t n) {
    if constexpr (bpp != 3 && bpp != 4) {
      return 0;
    } else {
      std::uint32_t k = 0;
      for (; k + 16 <= n; k += 16) {
        const std::uint8_t* p = src + std::size_t{k} * bpp;
        if constexpr (far) {
          // One line of 64 bytes per 16 or 21 pixels.
          if (k % 64 == 0) {
            for (std::size_t line = 0; line < bpp; ++line) {
              _mm_prefetch(
                  reinterpret_cast<const char*>(p + prefetch_ahead + 64 * line),
                  _MM_HINT_T0);
            }
          }
        }
        const __m256i g = grey16<bpp>(p);
        const __m256i above = load(a + k), mid = load(b + k);
        store(c + k, g);
        store(v + k, _mm256_add_epi16(_mm256_add_epi16(above, g),
                                      _mm256_add_epi16(mid, mid)));
        store(d + k, _mm256_sub_epi16(g, above));
      }
      return k;
    }
  }

  // 16 pixels from j: 0xFFFF for those whose gradient sum stays below the
  // least black sum. Interleaved (gx, gy) word pairs give gx^2 + gy^2 in
  // one multiply-add; the interleave works within 128-bit lanes, and the
  // pack of the two halves undoes it.
  static __m256i flat16(const std::int16_t* v, const std::int16_t* d,
                        std::uint32_t j, __m256i black) {
    const __m256i gx = _mm256_sub_epi16(load(v + j + 2), load(v + j));
    const __m256i d1 = load(d + j + 1);
    const __m256i gy =
        _mm256_add_epi16(_mm256_add_epi16(load(d + j), load(d + j + 2)),
                         _mm256_add_epi16(d1, d1));
    const __m256i lo = _mm256_unpacklo_epi16(gx, gy);
    const __m256i hi = _mm256_unpackhi_epi16(gx, gy);
    return _mm256_packs_epi32(
        _mm256_cmpgt_epi32(black, _mm256_madd_epi16(lo, lo)),
        _mm256_cmpgt_epi32(black, _mm256_madd_epi16(hi, hi)));
  }

  template <std::uint32_t bpp, edge_output output>
  static std::uint32_t edges(const std::int16_t* v, const std::int16_t* d,
                             std::uint8_t* dst, const std::uint8_t* src,
                             std::uint32_t n, const fused::limits& lim,
                             std::uint8_t* stage) {
    constexpr std::uint32_t out_pixel = output == edge_output::mask ? 1 : bpp;
    if constexpr (bpp != 3 && bpp != 4 && output == edge_output::picture) {
      return 0;
    } else {
      const __m256i black = _mm256_set1_epi32(static_cast<int>(lim.black_sum));
      // Far targets are assembled in stage, at the target's offset within
      // a cache line, and written out a chunk of whole lines at a time.
      constexpr std::uint32_t chunk =
          far ? (fused::stage_bytes - 64) / out_pixel / 32 * 32 : ~0u;
      std::uint32_t j = 0;
      while (j + 32 <= n) {
        const std::uint32_t left = (n - j) & ~31u;
        const std::uint32_t m = left < chunk ? left : chunk;
        std::uint8_t* const out = dst + std::size_t{j} * out_pixel;
        std::uint8_t* const put =
            far ? stage + (reinterpret_cast<std::uintptr_t>(out) & 63) : out;
        for (std::uint32_t p = 0; p < m; p += 32) {
          const __m256i flat = _mm256_packs_epi16(
              flat16(v, d, j + p, black), flat16(v, d, j + p + 16, black));
          put32<bpp, output>(flat, put + std::size_t{p} * out_pixel,
                             src + std::size_t{j + p} * bpp);
        }
        if constexpr (far) {
          stream_out(out, put, std::size_t{m} * out_pixel);
        }
        j += m;
      }
      return j;
    }
  }
};

}  // namespace avx2
}  // namespace

void detect_edges_avx2(const pixel_view& view, double threshold) noexcept {
  run_x86<avx2::rows>(view, threshold, false);
}

void detect_edges_avx2_stream(const pixel_view& view,
                              double threshold) noexcept {
  run_x86<avx2::rows>(view, threshold, true);
}

}  // namespace edgemap
