// The fused detector for x86-64 processors with SSSE3 and SSE4.1 but no
// AVX2 (before 2013, and the Atom, Celeron and Pentium Silver class): the
// vector type the generic row hooks run on, 8 pixels a step for gray levels
// and 16 for targets, in 16-bit lanes. Pixels of 3 and 4 bytes take the
// vector paths; row tails and other pixel sizes the plain loops compiled
// for SSE4.1.
#include <immintrin.h>

#include <array>

#include "edges/edge_variants.h"
#include "edges/fused_kernel.h"
#include "edges/vector_rows.h"

namespace edgemap {
namespace {
namespace sse41 {

using table = std::array<std::uint8_t, 16>;

template <class F>
constexpr table make_table(F byte) {
  return byte_table<16>(byte);
}

inline __m128i load(const void* p) {
  return _mm_loadu_si128(static_cast<const __m128i*>(p));
}
inline __m128i load(const table& t) { return load(t.data()); }
inline void store(void* p, __m128i x) {
  _mm_storeu_si128(static_cast<__m128i*>(p), x);
}

// The high half of sum * 21846 is the truncated third of every sum up to
// 765.
constexpr short third = 21846;

// (b, g, r, 0) for four 3-byte pixels from byte `from`.
constexpr table pixels_from(int from) {
  return make_table(
      [from](int i) { return i % 4 == 3 ? -1 : from + i / 4 * 3 + i % 4; });
}
constexpr table pixels_at0 = pixels_from(0);
constexpr table pixels_at4 = pixels_from(4);

// Gray levels of 8 pixels at p, as words: multiply-adds of bytes and words
// sum each pixel into a dword (3-byte pixels first laid out as (b, g, r,
// 0) by a byte shuffle, pixels 4..7 from a load ending at pixel 7's end),
// and the pack narrows them to words.
template <std::uint32_t bpp>
inline __m128i gray8(const std::uint8_t* p) {
  const __m128i ones16 = _mm_set1_epi16(1);
  __m128i x, y;
  if constexpr (bpp == 3) {
    const __m128i ones8 = _mm_set1_epi8(1);
    x = _mm_maddubs_epi16(_mm_shuffle_epi8(load(p), load(pixels_at0)), ones8);
    y = _mm_maddubs_epi16(_mm_shuffle_epi8(load(p + 8), load(pixels_at4)),
                          ones8);
  } else {
    const __m128i weights = _mm_set1_epi32(0x00010101);
    x = _mm_maddubs_epi16(load(p), weights);
    y = _mm_maddubs_epi16(load(p + 16), weights);
  }
  return _mm_mulhi_epu16(
      _mm_packus_epi32(_mm_madd_epi16(x, ones16), _mm_madd_epi16(y, ones16)),
      _mm_set1_epi16(third));
}

// Output vector r of a 3-byte picture holds pixels (16 r + o) / 3.
constexpr std::array<table, 3> spread3 = {
    make_table([](int o) { return o / 3; }),
    make_table([](int o) { return (16 + o) / 3; }),
    make_table([](int o) { return (32 + o) / 3; })};
// The first three bytes of each 4-byte pixel.
constexpr table colour_bytes =
    make_table([](int o) { return o % 4 == 3 ? 0 : 0xFF; });

// SSE4.1 for vector_rows: 8 pixels a gray step, 16 a target step.
struct vec {
  using words = __m128i;
  static constexpr std::uint32_t lanes = 8;
  static words load(const std::int16_t* p) { return sse41::load(p); }
  static void store(std::int16_t* p, words x) { sse41::store(p, x); }
  static words add(words x, words y) { return _mm_add_epi16(x, y); }
  static words sub(words x, words y) { return _mm_sub_epi16(x, y); }

  template <std::uint32_t bpp>
  static constexpr bool takes = bpp == 3 || bpp == 4;

  static constexpr std::uint32_t gray_step = 8;
  template <std::uint32_t bpp>
  static void gray(const std::uint8_t* p, words g[1]) {
    g[0] = gray8<bpp>(p);
  }

  // Every threshold: the sums are compared exactly, in dwords.
  static constexpr std::uint32_t edge_step = 16;
  static bool decides(const fused::limits& /*lim*/) { return true; }
  static __m128i thresholds(const fused::limits& lim) {
    return _mm_set1_epi32(static_cast<int>(lim.black_sum));
  }

  // 8 pixels from j: 0xFFFF for those whose gradient sum stays below the
  // least black sum. Interleaved (gx, gy) word pairs give gx^2 + gy^2 in
  // one multiply-add, and the pack of the two halves restores pixel order.
  static __m128i no_edge8(const std::int16_t* v, const std::int16_t* d,
                          std::size_t j, __m128i black) {
    const auto g = fused::gradients_at<vec>(v, d, j);
    const __m128i lo = _mm_unpacklo_epi16(g.gx, g.gy);
    const __m128i hi = _mm_unpackhi_epi16(g.gx, g.gy);
    return _mm_packs_epi32(_mm_cmpgt_epi32(black, _mm_madd_epi16(lo, lo)),
                           _mm_cmpgt_epi32(black, _mm_madd_epi16(hi, hi)));
  }
  // 16 pixels from j: 0xFF for those that are no edge.
  static __m128i no_edge(const std::int16_t* v, const std::int16_t* d,
                         std::size_t j, __m128i black) {
    return _mm_packs_epi16(no_edge8(v, d, j, black),
                           no_edge8(v, d, j + 8, black));
  }

  // Target bytes of 16 pixels from no_edge.
  template <std::uint32_t bpp, edge_output output>
  static void put(__m128i no_edge, std::uint8_t* t, const std::uint8_t* s) {
    if constexpr (output == edge_output::mask) {
      sse41::store(t, _mm_andnot_si128(no_edge, _mm_set1_epi8(1)));
    } else if constexpr (bpp == 3) {
      for (std::size_t r = 0; r < spread3.size(); ++r) {
        sse41::store(t + 16 * r,
                     _mm_shuffle_epi8(no_edge, sse41::load(spread3[r])));
      }
    } else {
      // Sign extension makes each level byte a whole pixel; the source's
      // fourth bytes are blended in.
      const __m128i colour = sse41::load(colour_bytes);
      sse41::store(t, _mm_blendv_epi8(sse41::load(s),
                                      _mm_cvtepi8_epi32(no_edge), colour));
      sse41::store(
          t + 16, _mm_blendv_epi8(sse41::load(s + 16),
                                  _mm_cvtepi8_epi32(_mm_srli_si128(no_edge, 4)),
                                  colour));
      sse41::store(
          t + 32, _mm_blendv_epi8(sse41::load(s + 32),
                                  _mm_cvtepi8_epi32(_mm_srli_si128(no_edge, 8)),
                                  colour));
      sse41::store(t + 48,
                   _mm_blendv_epi8(
                       sse41::load(s + 48),
                       _mm_cvtepi8_epi32(_mm_srli_si128(no_edge, 12)), colour));
    }
  }
};

}  // namespace sse41
}  // namespace

void detect_edges_sse41(const pixel_view& view, double threshold) noexcept {
  fused::run<fused::vector_rows<sse41::vec, false>>(view,
                                                    least_black_sum(threshold));
}

}  // namespace edgemap
