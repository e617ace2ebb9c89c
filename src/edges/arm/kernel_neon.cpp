// The fused detector for ARM processors with NEON (every 64-bit one; 32-bit
// ones whose hardware capabilities say so): the vector type the generic
// row hooks run on, 16 pixels a step with 16-bit gray levels. Pixels of 3
// and 4 bytes take the vector paths; row tails and other pixel sizes the
// plain loops compiled for NEON. The intrinsics are those 32-bit and 64-bit
// ARM share, so one source serves both.
#include <arm_neon.h>

#include <cstddef>
#include <cstdint>

#include "edges/edge_variants.h"
#include "edges/fused_kernel.h"
#include "edges/vector_rows.h"

namespace edgemap {
namespace {
namespace neon {

// sqdmulh by this gives (2 * sum * third) >> 16 = (sum * 21846) >> 16, the
// truncated third of every byte sum up to 765.
constexpr std::int16_t third = 10923;

// The truncated thirds of 8 sums of three bytes.
inline int16x8_t third_of(uint16x8_t sum) {
  return vqdmulhq_s16(vreinterpretq_s16_u16(sum), vdupq_n_s16(third));
}

// 0xFF for each of 8 pixels whose gx^2 + gy^2 is below limit, 0x00 for the
// others. Every sum and the limit are below 2^21, so the high 16 bits of
// sum - limit are 0x0000..0x001F when the pixel is an edge and
// 0xFFE0..0xFFFF when it is not: their high byte is the verdict.
inline uint8x8_t no_edge8(int16x8_t gx, int16x8_t gy, int32x4_t limit) {
  const int16x4_t gx_lo = vget_low_s16(gx);
  const int16x4_t gx_hi = vget_high_s16(gx);
  const int16x4_t gy_lo = vget_low_s16(gy);
  const int16x4_t gy_hi = vget_high_s16(gy);
  const int32x4_t sum_lo = vmlal_s16(vmull_s16(gx_lo, gx_lo), gy_lo, gy_lo);
  const int32x4_t sum_hi = vmlal_s16(vmull_s16(gx_hi, gx_hi), gy_hi, gy_hi);
  const int16x8_t high =
      vcombine_s16(vsubhn_s32(sum_lo, limit), vsubhn_s32(sum_hi, limit));
  return vshrn_n_u16(vreinterpretq_u16_s16(high), 8);
}

struct vec {
  using words = int16x8_t;
  static constexpr std::uint32_t lanes = 8;
  static words load(const std::int16_t* p) { return vld1q_s16(p); }
  static void store(std::int16_t* p, words x) { vst1q_s16(p, x); }
  static words add(words x, words y) { return vaddq_s16(x, y); }
  static words sub(words x, words y) { return vsubq_s16(x, y); }

  template <std::uint32_t bpp>
  static constexpr bool takes = bpp == 3 || bpp == 4;

  // 16 pixels: vld3q_u8 (vld4q_u8) splits them into their first, second
  // and third (and fourth) bytes, and widening adds sum the first three.
  static constexpr std::uint32_t gray_step = 16;
  template <std::uint32_t bpp>
  static void gray(const std::uint8_t* p, words g[2]) {
    uint8x16_t b0, b1, b2;
    if constexpr (bpp == 3) {
      const uint8x16x3_t px = vld3q_u8(p);
      b0 = px.val[0], b1 = px.val[1], b2 = px.val[2];
    } else {
      const uint8x16x4_t px = vld4q_u8(p);
      b0 = px.val[0], b1 = px.val[1], b2 = px.val[2];
    }
    g[0] = third_of(
        vaddw_u8(vaddl_u8(vget_low_u8(b0), vget_low_u8(b1)), vget_low_u8(b2)));
    g[1] = third_of(vaddw_u8(vaddl_u8(vget_high_u8(b0), vget_high_u8(b1)),
                             vget_high_u8(b2)));
  }

  // Every threshold: the sums are compared exactly, in 32 bits.
  static constexpr std::uint32_t edge_step = 16;
  static bool decides(const fused::limits& /*lim*/) { return true; }
  static int32x4_t thresholds(const fused::limits& lim) {
    return vdupq_n_s32(static_cast<std::int32_t>(lim.black_sum));
  }
  // 16 pixels from j. ARMv7 loads take no offset: rather than a load at
  // each of j, j + 1 and j + 2, three vectors of v and of d from j are
  // shifted along with ext. The third reaches index j + 23, past the
  // j + 17 the pixels use but within the scratch row (its slack), and
  // those lanes are dropped.
  static uint8x16_t no_edge(const std::int16_t* v, const std::int16_t* d,
                            std::size_t j, int32x4_t limit) {
    const int16x8_t v0 = vld1q_s16(v + j), v8 = vld1q_s16(v + j + 8);
    const int16x8_t v16 = vld1q_s16(v + j + 16);
    const int16x8_t d0 = vld1q_s16(d + j), d8 = vld1q_s16(d + j + 8);
    const int16x8_t d16 = vld1q_s16(d + j + 16);
    const auto x =
        fused::gradients_of<vec>(v0, vextq_s16(v0, v8, 2), d0,
                                 vextq_s16(d0, d8, 1), vextq_s16(d0, d8, 2));
    const auto y =
        fused::gradients_of<vec>(v8, vextq_s16(v8, v16, 2), d8,
                                 vextq_s16(d8, d16, 1), vextq_s16(d8, d16, 2));
    return vcombine_u8(no_edge8(x.gx, x.gy, limit),
                       no_edge8(y.gx, y.gy, limit));
  }

  // vst3q_u8 writes the level into all three bytes of 16 pixels; for 4
  // bytes vst4q_u8 writes the source's fourth bytes beside it.
  template <std::uint32_t bpp, edge_output output>
  static void put(uint8x16_t no_edge, std::uint8_t* t, const std::uint8_t* s) {
    if constexpr (output == edge_output::mask) {
      vst1q_u8(t, vbicq_u8(vdupq_n_u8(1), no_edge));
    } else if constexpr (bpp == 3) {
      vst3q_u8(t, uint8x16x3_t{{no_edge, no_edge, no_edge}});
    } else {
      vst4q_u8(t,
               uint8x16x4_t{{no_edge, no_edge, no_edge, vld4q_u8(s).val[3]}});
    }
  }
};

}  // namespace neon
}  // namespace

void detect_edges_neon(const pixel_view& view, double threshold) noexcept {
  fused::run<fused::vector_rows<neon::vec, false>>(view,
                                                   least_black_sum(threshold));
}

}  // namespace edgemap
