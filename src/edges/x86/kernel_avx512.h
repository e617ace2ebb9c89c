// The vector type the generic row hooks run on for AVX-512 (F, BW, VL, DQ)
// processors, 64 pixels a step in 16-bit lanes. Included by two units:
// kernel_avx512.cpp, and kernel_avx512vbmi.cpp, which is compiled with VBMI as
// well and then regroups bytes with its byte permutations across whole
// registers in place of dword permutations followed by shuffles within 128-bit
// lanes. Pixels of 3 and 4 bytes take the vector paths; row tails, other pixel
// sizes and thresholds above 255 the plain loops compiled for AVX-512.
#pragma once

#if defined(__GNUC__) && !defined(__clang__)
// GCC 12 reports the undefined vectors its own AVX-512 intrinsics start
// from as maybe uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>

#include <array>
#include <cstring>

#include "edges/edge_variants.h"
#include "edges/fused_kernel.h"
#include "edges/x86/streaming_x86.h"

namespace edgemap {
namespace {
namespace avx512 {

#if defined(__AVX512VBMI__)
inline constexpr bool vbmi = true;
#else
inline constexpr bool vbmi = false;
#endif

using table = std::array<std::uint8_t, 64>;

template <class F>
constexpr table make_table(F byte) {
  return byte_table<64>(byte);
}

inline __m512i load(const table& t) { return _mm512_loadu_si512(t.data()); }
inline __m512i load(const void* p) { return _mm512_loadu_si512(p); }
inline void store(void* p, __m512i x) { _mm512_storeu_si512(p, x); }

// The high half of sum * 21846 is the truncated third of every sum up to
// 765.
inline constexpr short third = 21846;

// --- Gray levels: 64 pixels of bpp bytes at p into g[0] (pixels 0..31)
// and g[1] (32..63), as words.

// VBMI: one permutation of 128 bytes gives each word the first two bytes
// of its pixel, a second with every odd byte zeroed the third byte; a
// multiply-add of bytes sums the pair.
template <std::uint32_t bpp>
inline constexpr table first_two = make_table([](int i) {
  return i / 2 * int{bpp} + i % 2;
});
template <std::uint32_t bpp>
inline constexpr table third_byte = make_table([](int i) {
  return i / 2 * int{bpp} + 2;
});
// The same for pixels 32..63 of 3 bytes, found 32 bytes into the vectors
// that hold bytes 64..191.
inline constexpr table first_two_next =
    make_table([](int i) { return i / 2 * 3 + i % 2 + 32; });
inline constexpr table third_byte_next =
    make_table([](int i) { return i / 2 * 3 + 2 + 32; });

inline __m512i gray32_vbmi(__m512i lo, __m512i hi, __m512i pair, __m512i last) {
#if defined(__AVX512VBMI__)
  constexpr __mmask64 even_bytes = 0x5555555555555555ull;
  const __m512i x = _mm512_permutex2var_epi8(lo, pair, hi);
  const __m512i y = _mm512_maskz_permutex2var_epi8(even_bytes, lo, last, hi);
  const __m512i sum =
      _mm512_add_epi16(_mm512_maddubs_epi16(x, _mm512_set1_epi8(1)), y);
  return _mm512_mulhi_epu16(sum, _mm512_set1_epi16(third));
#else
  (void)lo, (void)hi, (void)pair, (void)last;
  return _mm512_setzero_si512();
#endif
}

// Without VBMI, 3-byte pixels: two dword permutations of 128 bytes give
// each 128-bit quarter four whole pixels (and a dword nobody reads), the
// first pixels 8q..8q+3 into quarter q, the second 8q+4..8q+7; a byte
// shuffle lays each pixel out as (b, g, r, 0) and multiply-adds of bytes
// and words sum it into a dword. The pack narrows to words in pixel order.
inline constexpr table dwords_first = make_table([](int i) {
  const int q = i / 16, k = i % 16;  // dword index in the low byte
  return k % 4 != 0 ? 0 : (k / 4 < 3 ? 6 * q + k / 4 : 6 * q + 2);
});
inline constexpr table dwords_second = make_table([](int i) {
  const int q = i / 16, k = i % 16;
  return k % 4 != 0 ? 0 : (k / 4 < 3 ? 6 * q + 3 + k / 4 : 6 * q + 5);
});

inline __m512i gray32_bw3(__m512i lo, __m512i hi, __m512i first,
                          __m512i second) {
  const __m512i spread = _mm512_broadcast_i32x4(
      _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1));
  const __m512i ones8 = _mm512_set1_epi8(1);
  const __m512i ones16 = _mm512_set1_epi16(1);
  __m512i x = _mm512_permutex2var_epi32(lo, first, hi);
  __m512i y = _mm512_permutex2var_epi32(lo, second, hi);
  x = _mm512_madd_epi16(
      _mm512_maddubs_epi16(_mm512_shuffle_epi8(x, spread), ones8), ones16);
  y = _mm512_madd_epi16(
      _mm512_maddubs_epi16(_mm512_shuffle_epi8(y, spread), ones8), ones16);
  return _mm512_mulhi_epu16(_mm512_packus_epi32(x, y),
                            _mm512_set1_epi16(third));
}

// Without VBMI, 4-byte pixels: multiply-adds sum each pixel's first three
// bytes into a dword; the pack interleaves 128-bit quarters of its two
// inputs, which a qword permutation undoes.
inline __m512i gray32_bw4(__m512i lo, __m512i hi) {
  const __m512i weights = _mm512_set1_epi32(0x00010101);
  const __m512i ones16 = _mm512_set1_epi16(1);
  const __m512i order = _mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7);
  const __m512i x =
      _mm512_madd_epi16(_mm512_maddubs_epi16(lo, weights), ones16);
  const __m512i y =
      _mm512_madd_epi16(_mm512_maddubs_epi16(hi, weights), ones16);
  return _mm512_mulhi_epu16(
      _mm512_permutexvar_epi64(order, _mm512_packus_epi32(x, y)),
      _mm512_set1_epi16(third));
}

template <std::uint32_t bpp>
inline void gray64(const std::uint8_t* p, __m512i g[2]) {
  if constexpr (bpp == 3) {
    const __m512i z0 = load(p), z1 = load(p + 64), z2 = load(p + 128);
    if constexpr (vbmi) {
      g[0] = gray32_vbmi(z0, z1, load(first_two<3>), load(third_byte<3>));
      g[1] = gray32_vbmi(z1, z2, load(first_two_next), load(third_byte_next));
    } else {
      // Pixels 32..63 start 8 dwords into z1.
      const __m512i first = load(dwords_first);
      const __m512i second = load(dwords_second);
      const __m512i eight = _mm512_set1_epi32(8);
      g[0] = gray32_bw3(z0, z1, first, second);
      g[1] = gray32_bw3(z1, z2, _mm512_add_epi32(first, eight),
                        _mm512_add_epi32(second, eight));
    }
  } else {
    const __m512i z0 = load(p), z1 = load(p + 64);
    const __m512i z2 = load(p + 128), z3 = load(p + 192);
    if constexpr (vbmi) {
      const __m512i pair = load(first_two<4>), last = load(third_byte<4>);
      g[0] = gray32_vbmi(z0, z1, pair, last);
      g[1] = gray32_vbmi(z2, z3, pair, last);
    } else {
      g[0] = gray32_bw4(z0, z1);
      g[1] = gray32_bw4(z2, z3);
    }
  }
}

// --- Target bytes of 64 pixels from the mask of those that are no edge.

// VBMI: the mask of 64 pixels comes from four compares of dword sums
// (see vec::no_edge64), pixel 32 h + 8 q + 4 w + i at bit 32 h + 16 w + 4 q +
// i.
constexpr int mask_bit(int pixel) {
  const int h = pixel / 32, q = pixel % 32 / 8, w = pixel % 8 / 4;
  return 32 * h + 16 * w + 4 * q + pixel % 4;
}
// Output byte o of vector r belongs to pixel (64 r + o) / bpp; a mask's
// bytes go back to pixel order.
template <std::uint32_t bpp>
constexpr std::array<table, bpp> spread_vbmi = [] {
  std::array<table, bpp> t{};
  for (std::uint32_t r = 0; r < bpp; ++r) {
    t[r] = make_table(
        [r](int o) { return mask_bit((64 * int(r) + o) / int{bpp}); });
  }
  return t;
}();
inline constexpr table pixel_order = make_table(mask_bit);

// Without VBMI: a shuffle within 128-bit lanes, after a lane permutation
// that brings each output lane the input lane holding its pixels. For 3
// bytes, output lane c (of 12) holds pixels 16c / 3 .. (16c + 15) / 3,
// which always lie in one input lane.
constexpr int source_lane3(int c) { return 16 * c / 3 / 16; }
// The lane permutation's immediate for output vector r: two bits per lane.
template <int r>
constexpr int lanes3 = [] {
  int imm = 0;
  for (int lane = 0; lane < 4; ++lane) {
    imm += source_lane3(4 * r + lane) << (2 * lane);
  }
  return imm;
}();
inline constexpr std::array<table, 3> spread_bw3 = [] {
  std::array<table, 3> t{};
  for (int r = 0; r < 3; ++r) {
    t[static_cast<std::size_t>(r)] = make_table([r](int o) {
      const int c = 4 * r + o / 16;
      return (64 * r + o) / 3 - 16 * source_lane3(c);
    });
  }
  return t;
}();
// For 4 bytes, output vector r is input lane r, each byte four times.
inline constexpr table spread_bw4 =
    make_table([](int o) { return o % 16 / 4 + o / 16 * 4; });

// The first three bytes of each 4-byte pixel.
inline constexpr __mmask64 colour_bytes = 0x7777777777777777ull;

template <std::uint32_t bpp, edge_output output>
inline void put64(__mmask64 no_edge, std::uint8_t* t, const std::uint8_t* s) {
  if constexpr (output == edge_output::mask && vbmi) {
#if defined(__AVX512VBMI__)
    store(t, _mm512_permutexvar_epi8(
                 load(pixel_order),
                 _mm512_mask_blend_epi8(no_edge, _mm512_set1_epi8(1),
                                        _mm512_setzero_si512())));
#endif
  } else if constexpr (output == edge_output::mask) {
    store(t, _mm512_mask_blend_epi8(no_edge, _mm512_set1_epi8(1),
                                    _mm512_setzero_si512()));
  } else if constexpr (vbmi) {
#if defined(__AVX512VBMI__)
    const __m512i level = _mm512_movm_epi8(no_edge);
    for (std::size_t r = 0; r < bpp; ++r) {
      const __m512i idx = load(spread_vbmi<bpp>[r]);
      if constexpr (bpp == 3) {
        store(t + 64 * r, _mm512_permutexvar_epi8(idx, level));
      } else {
        store(t + 64 * r, _mm512_mask_permutexvar_epi8(
                              load(s + 64 * r), colour_bytes, idx, level));
      }
    }
#else
    (void)no_edge, (void)t, (void)s;
#endif
  } else if constexpr (bpp == 3) {
    const __m512i level = _mm512_movm_epi8(no_edge);
    store(t, _mm512_shuffle_epi8(_mm512_shuffle_i64x2(level, level, lanes3<0>),
                                 load(spread_bw3[0])));
    store(t + 64,
          _mm512_shuffle_epi8(_mm512_shuffle_i64x2(level, level, lanes3<1>),
                              load(spread_bw3[1])));
    store(t + 128,
          _mm512_shuffle_epi8(_mm512_shuffle_i64x2(level, level, lanes3<2>),
                              load(spread_bw3[2])));
  } else {
    const __m512i level = _mm512_movm_epi8(no_edge);
    const __m512i idx = load(spread_bw4);
    store(t, _mm512_mask_shuffle_epi8(load(s), colour_bytes,
                                      _mm512_shuffle_i64x2(level, level, 0x00),
                                      idx));
    store(t + 64, _mm512_mask_shuffle_epi8(
                      load(s + 64), colour_bytes,
                      _mm512_shuffle_i64x2(level, level, 0x55), idx));
    store(t + 128, _mm512_mask_shuffle_epi8(
                       load(s + 128), colour_bytes,
                       _mm512_shuffle_i64x2(level, level, 0xAA), idx));
    store(t + 192, _mm512_mask_shuffle_epi8(
                       load(s + 192), colour_bytes,
                       _mm512_shuffle_i64x2(level, level, 0xFF), idx));
  }
}

// AVX-512 for vector_rows: 64 pixels a step, gray levels in two vectors
// of words. Without VBMI the verdicts come from 16-bit lanes, which decide
// only thresholds up to narrow_max.
struct vec : x86_streaming {
  using words = __m512i;
  static constexpr std::uint32_t lanes = 32;
  static words load(const std::int16_t* p) { return avx512::load(p); }
  static void store(std::int16_t* p, words x) { avx512::store(p, x); }
  static words add(words x, words y) { return _mm512_add_epi16(x, y); }
  static words sub(words x, words y) { return _mm512_sub_epi16(x, y); }

  template <std::uint32_t bpp>
  static constexpr bool takes = bpp == 3 || bpp == 4;

  static constexpr std::uint32_t gray_step = 64;
  template <std::uint32_t bpp>
  static void gray(const std::uint8_t* p, words g[2]) {
    gray64<bpp>(p, g);
  }

  static constexpr std::uint32_t edge_step = 64;
  static bool decides(const fused::limits& lim) { return vbmi || lim.narrow; }
  struct limit_vectors {
    __m512i clamp, black, black32;
  };
  static limit_vectors thresholds(const fused::limits& lim) {
    return {_mm512_set1_epi16(static_cast<short>(lim.clamp)),
            _mm512_set1_epi16(static_cast<short>(lim.black_sum)),
            _mm512_set1_epi32(static_cast<int>(lim.black_sum))};
  }

  // 32 pixels from j: the mask of those whose clamped gradient sum stays
  // below the least black sum.
  static __mmask32 no_edge32(const std::int16_t* v, const std::int16_t* d,
                             std::size_t j, __m512i clamp, __m512i black) {
    const auto g = fused::gradients_at<vec>(v, d, j);
    const __m512i ax = _mm512_min_epu16(_mm512_abs_epi16(g.gx), clamp);
    const __m512i ay = _mm512_min_epu16(_mm512_abs_epi16(g.gy), clamp);
    const __m512i sum = _mm512_adds_epu16(_mm512_mullo_epi16(ax, ax),
                                          _mm512_mullo_epi16(ay, ay));
    return _mm512_cmplt_epu16_mask(sum, black);
  }

  // VBMI: 64 pixels from j, the mask of those whose gradient sum stays
  // below the least black sum, in mask_bit order. Interleaved (gx, gy)
  // word pairs give exact gx^2 + gy^2 in one multiply-add; the interleave
  // works within 128-bit lanes, which the output's byte permutations undo.
  static __mmask64 no_edge64(const std::int16_t* v, const std::int16_t* d,
                             std::size_t j, __m512i black) {
    __mmask16 quarter[4];
    for (std::size_t h = 0; h < 2; ++h) {
      const auto g = fused::gradients_at<vec>(v, d, j + 32 * h);
      const __m512i lo = _mm512_unpacklo_epi16(g.gx, g.gy);
      const __m512i hi = _mm512_unpackhi_epi16(g.gx, g.gy);
      quarter[2 * h] =
          _mm512_cmplt_epi32_mask(_mm512_madd_epi16(lo, lo), black);
      quarter[2 * h + 1] =
          _mm512_cmplt_epi32_mask(_mm512_madd_epi16(hi, hi), black);
    }
    return _mm512_kunpackd(_mm512_kunpackw(quarter[3], quarter[2]),
                           _mm512_kunpackw(quarter[1], quarter[0]));
  }

  static __mmask64 no_edge(const std::int16_t* v, const std::int16_t* d,
                           std::size_t j, const limit_vectors& t) {
    return vbmi ? no_edge64(v, d, j, t.black32)
                : _mm512_kunpackd(no_edge32(v, d, j + 32, t.clamp, t.black),
                                  no_edge32(v, d, j, t.clamp, t.black));
  }

  template <std::uint32_t bpp, edge_output output>
  static void put(__mmask64 no_edge, std::uint8_t* t, const std::uint8_t* s) {
    put64<bpp, output>(no_edge, t, s);
  }
};

}  // namespace avx512
}  // namespace
}  // namespace edgemap
