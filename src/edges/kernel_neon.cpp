// The fused detector for ARM processors with NEON (every 64-bit one; 32-bit
// ones whose hardware capabilities say so): 3-byte pixels 16 at a time with
// 16-bit grey levels, the rest (row tails, other pixel sizes, masks) by the
// plain loops compiled for NEON. The intrinsics are those 32-bit and 64-bit
// ARM share, so one source serves both.
#include <arm_neon.h>

#include <cstddef>
#include <cstdint>

#include "edges/edge_variants.h"
#include "edges/fused_kernel.h"

namespace edgemap {
namespace {

// sqdmulh by this gives (2 * sum * third) >> 16 = (sum * 21846) >> 16, the
// truncated third of every byte sum up to 765.
constexpr std::int16_t third = 10923;

// The vertical parts of both operators for 8 columns: v = above + 2 * at +
// below (smoothed, for gx) and d = below - above (for gy).
struct column_sums {
  int16x8_t v, d;
};

inline column_sums columns_at(const std::int16_t* a, const std::int16_t* b,
                              const std::int16_t* c) {
  const int16x8_t above = vld1q_s16(a);
  const int16x8_t below = vld1q_s16(c);
  const int16x8_t mid = vld1q_s16(b);
  return {vaddq_s16(vaddq_s16(above, below), vaddq_s16(mid, mid)),
          vsubq_s16(below, above)};
}

// 0xFF (white) for each of 8 pixels whose gx^2 + gy^2 is below limit, 0x00
// (black) for the others. x holds the column sums from each pixel's left
// neighbour on, y the 8 after them: gx = v[j + 2] - v[j] and gy = d[j] +
// 2 * d[j + 1] + d[j + 2]. Every sum and the limit are below 2^21, so the
// high 16 bits of sum - limit are 0x0000..0x001F when the pixel is black
// and 0xFFE0..0xFFFF when it is white: their high byte is the level.
inline uint8x8_t white8(column_sums x, column_sums y, int32x4_t limit) {
  const int16x8_t gx = vsubq_s16(vextq_s16(x.v, y.v, 2), x.v);
  const int16x8_t d1 = vextq_s16(x.d, y.d, 1);
  const int16x8_t gy =
      vaddq_s16(vaddq_s16(x.d, vextq_s16(x.d, y.d, 2)), vaddq_s16(d1, d1));
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

// grey3 and edges3 stay out of line: inlined into the strip loop, the
// grey loop lost its constant's register and reloaded it on every step.
struct neon_rows {
  using grey_type = std::int16_t;

  // 16 pixels (48 bytes) per step: vld3q_u8 splits them into their first,
  // second and third bytes, widening adds sum those into 16 bits, and
  // sqdmulh takes the third.
  __attribute__((noinline)) static std::uint32_t grey3(const std::uint8_t* src,
                                                       grey_type* out,
                                                       std::uint32_t n) {
    const int16x8_t by_third = vdupq_n_s16(third);
    const std::uint32_t steps = n / 16;
    for (std::uint32_t i = 0; i < steps; ++i, src += 48, out += 16) {
      const uint8x16x3_t p = vld3q_u8(src);
      const uint16x8_t lo =
          vaddw_u8(vaddl_u8(vget_low_u8(p.val[0]), vget_low_u8(p.val[1])),
                   vget_low_u8(p.val[2]));
      const uint16x8_t hi =
          vaddw_u8(vaddl_u8(vget_high_u8(p.val[0]), vget_high_u8(p.val[1])),
                   vget_high_u8(p.val[2]));
      vst1q_s16(out, vqdmulhq_s16(vreinterpretq_s16_u16(lo), by_third));
      vst1q_s16(out + 8, vqdmulhq_s16(vreinterpretq_s16_u16(hi), by_third));
    }
    return steps * 16;
  }

  // 16 target pixels per step, from the column sums of 24 columns: the 8
  // the previous step computed last and 16 new ones. Reads grey levels up
  // to index n + 7, within the 64 defined levels past a ring row's end.
  // vst3q_u8 writes the level into all three bytes of the 16 pixels.
  __attribute__((noinline)) static std::uint32_t edges3(
      const grey_type* a, const grey_type* b, const grey_type* c,
      std::uint8_t* dst, std::uint32_t n, std::uint32_t black_sum) {
    const int32x4_t limit = vdupq_n_s32(static_cast<std::int32_t>(black_sum));
    const std::uint32_t steps = n / 16;
    column_sums left = columns_at(a, b, c);
    for (std::uint32_t i = 0; i < steps; ++i, dst += 48) {
      const column_sums mid = columns_at(a + 8, b + 8, c + 8);
      a += 16;
      b += 16;
      c += 16;
      const column_sums right = columns_at(a, b, c);
      const uint8x16_t level =
          vcombine_u8(white8(left, mid, limit), white8(mid, right, limit));
      vst3q_u8(dst, uint8x16x3_t{{level, level, level}});
      left = right;
    }
    return steps * 16;
  }
};

}  // namespace

void detect_edges_neon(const pixel_view& view, double threshold) noexcept {
  fused::run<neon_rows>(view, least_black_sum(threshold));
}

}  // namespace edgemap
