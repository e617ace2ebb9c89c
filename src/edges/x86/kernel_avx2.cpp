// The fused detector for AVX2 processors: the vector type the generic row
// hooks run on, 16 pixels a step for gray levels and 32 for targets, in
// 16-bit lanes. Pixels of 3 and 4 bytes take the vector paths; row tails
// and other pixel sizes the plain loops compiled for AVX2.
#include <immintrin.h>

#include <array>
#include <cstring>

#include "edges/edge_variants.h"
#include "edges/fused_kernel.h"
#include "edges/x86/streaming_x86.h"

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

// Gray levels of 16 pixels at p, as words. 3 bytes: each 128-bit lane of x
// takes four whole pixels (0..3 and 8..11), of y the four after them (4..7
// and 12..15, the last from a load that ends at the 16th pixel's end), so
// that the pack below keeps pixel order. A byte shuffle lays each pixel
// out as (b, g, r, 0), and multiply-adds of bytes and words sum it into a
// dword. 4 bytes: the multiply-adds weigh the fourth byte 0, and the pack's
// interleave of 128-bit lanes is undone by a qword permutation.
template <std::uint32_t bpp>
inline __m256i gray16(const std::uint8_t* p) {
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

// Target bytes of 32 pixels from no_edge (0xFF where no edge), which the
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
inline void put32(__m256i no_edge, std::uint8_t* t, const std::uint8_t* s) {
  if constexpr (output == edge_output::mask) {
    store(t, _mm256_permute4x64_epi64(
                 _mm256_andnot_si256(no_edge, _mm256_set1_epi8(1)), 0xD8));
  } else if constexpr (bpp == 3) {
    store(t, _mm256_shuffle_epi8(_mm256_permute4x64_epi64(no_edge, 0x88),
                                 load(spread3_tables[0])));
    store(t + 32, _mm256_shuffle_epi8(_mm256_permute4x64_epi64(no_edge, 0xD8),
                                      load(spread3_tables[1])));
    store(t + 64, _mm256_shuffle_epi8(_mm256_permute4x64_epi64(no_edge, 0xDD),
                                      load(spread3_tables[2])));
  } else {
    // Sign extension makes each level byte a whole pixel; the source's
    // fourth bytes are blended in.
    const __m256i colour = load(colour_bytes);
    const __m128i lo = _mm256_castsi256_si128(no_edge);
    const __m128i hi = _mm256_extracti128_si256(no_edge, 1);
    const __m128i eighths[4] = {lo, hi, _mm_srli_si128(lo, 8),
                                _mm_srli_si128(hi, 8)};
    for (std::size_t q = 0; q < 4; ++q) {
      store(t + 32 * q,
            _mm256_blendv_epi8(load(s + 32 * q),
                               _mm256_cvtepi8_epi32(eighths[q]), colour));
    }
  }
}

// AVX2 for vector_rows: 16 pixels a gray step, 32 a target step.
struct vec : x86_streaming {
  using words = __m256i;
  static constexpr std::uint32_t lanes = 16;
  static words load(const std::int16_t* p) { return avx2::load(p); }
  static void store(std::int16_t* p, words x) { avx2::store(p, x); }
  static words add(words x, words y) { return _mm256_add_epi16(x, y); }
  static words sub(words x, words y) { return _mm256_sub_epi16(x, y); }

  template <std::uint32_t bpp>
  static constexpr bool takes = bpp == 3 || bpp == 4;

  static constexpr std::uint32_t gray_step = 16;
  template <std::uint32_t bpp>
  static void gray(const std::uint8_t* p, words g[1]) {
    g[0] = gray16<bpp>(p);
  }

  // Every threshold: the sums are compared exactly, in dwords.
  static constexpr std::uint32_t edge_step = 32;
  static bool decides(const fused::limits& /*lim*/) { return true; }
  static __m256i thresholds(const fused::limits& lim) {
    return _mm256_set1_epi32(static_cast<int>(lim.black_sum));
  }

  // 16 pixels from j: 0xFFFF for those whose gradient sum stays below the
  // least black sum. Interleaved (gx, gy) word pairs give gx^2 + gy^2 in
  // one multiply-add; the interleave works within 128-bit lanes, and the
  // pack of the two halves undoes it.
  static __m256i no_edge16(const std::int16_t* v, const std::int16_t* d,
                           std::size_t j, __m256i black) {
    const auto g = fused::gradients_at<vec>(v, d, j);
    const __m256i lo = _mm256_unpacklo_epi16(g.gx, g.gy);
    const __m256i hi = _mm256_unpackhi_epi16(g.gx, g.gy);
    return _mm256_packs_epi32(
        _mm256_cmpgt_epi32(black, _mm256_madd_epi16(lo, lo)),
        _mm256_cmpgt_epi32(black, _mm256_madd_epi16(hi, hi)));
  }
  // 32 pixels from j: 0xFF for those that are no edge, in the order the
  // pack leaves (see put32).
  static __m256i no_edge(const std::int16_t* v, const std::int16_t* d,
                         std::size_t j, __m256i black) {
    return _mm256_packs_epi16(no_edge16(v, d, j, black),
                              no_edge16(v, d, j + 16, black));
  }

  template <std::uint32_t bpp, edge_output output>
  static void put(__m256i no_edge, std::uint8_t* t, const std::uint8_t* s) {
    put32<bpp, output>(no_edge, t, s);
  }
};

}  // namespace avx2
}  // namespace

void detect_edges_avx2(const pixel_view& view, double threshold) noexcept {
  run_x86<avx2::vec>(view, threshold, false);
}

void detect_edges_avx2_stream(const pixel_view& view,
                              double threshold) noexcept {
  run_x86<avx2::vec>(view, threshold, true);
}

}  // namespace edgemap
