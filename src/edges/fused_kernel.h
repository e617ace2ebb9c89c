// The fused integer detector, in plain C++ that compilers vectorise, with
// hooks through which a variant replaces parts of it with intrinsics. Each
// variant translation unit includes this once and compiles it for its own
// instruction set, so everything here has internal linkage: no out-of-line
// copy built for one instruction set can be picked by the linker for
// another.
//
// One pass over the source, a strip of at most strip_width columns at a
// time. Gray levels are 16 bits. For each target row i, two passes over
// rows of scratch that stay in the first-level cache:
//   vertical:   the gray levels of source row i + 1 (each source row is
//               turned into gray levels once, into a ring of three rows),
//               and per column the vertical parts of both operators,
//               v = above + 2 * at + below and d = below - above;
//   horizontal: per pixel gx = v[j + 1] - v[j - 1] and
//               gy = d[j - 1] + 2 * d[j] + d[j + 1], and the target pixel.
// Columns and rows outside the image are gray level 0, so no pixel needs a
// bounds check. The gradient is exact in integers: |gx|, |gy| <= 1020, so
// gx^2 + gy^2 fits in 32 bits and is compared with the least black sum
// the caller worked out from the threshold.
//
// A picture pixel gets 0 (edge) or 255 in its first three bytes and the
// source pixel's bytes past the third; a mask pixel is one byte, 1 or 0.
#pragma once

#include <array>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

#include "edges/detect_edges.h"

namespace edgemap {

// The 24 target bytes of eight 3-byte picture pixels for every set of their
// levels, bit i standing for pixel i's 255. Plain data, the same in every
// unit, so one copy serves them all.
struct spread3_table {
  std::uint8_t bytes[256][24];
};
inline constexpr spread3_table spread3_bytes = [] {
  spread3_table t{};
  for (unsigned bits = 0; bits < 256; ++bits) {
    for (unsigned b = 0; b < 24; ++b) {
      t.bytes[bits][b] = (bits >> (b / 3) & 1) != 0 ? 255 : 0;
    }
  }
  return t;
}();

// N bytes, byte(i) at i: the vector kernels' shuffle and permutation
// constants, computed at compile time.
template <std::size_t N, class F>
constexpr std::array<std::uint8_t, N> byte_table(F byte) {
  std::array<std::uint8_t, N> t{};
  for (std::size_t i = 0; i < N; ++i) {
    t[i] = static_cast<std::uint8_t>(byte(static_cast<int>(i)));
  }
  return t;
}

namespace {
namespace fused {

// --- Thresholds as the kernels compare them.

// The largest least black sum for which 16-bit lanes decide every pixel:
// with |g| clamped to the least c with c * c >= black_sum (at most 255),
// a clamped square says "edge" exactly when the true one does, and both
// squares fit in 16 bits, added with unsigned saturation.
inline constexpr std::uint32_t narrow_max = 255 * 255;

struct limits {
  std::uint32_t black_sum;
  bool narrow;          // black_sum <= narrow_max
  std::uint16_t clamp;  // when narrow: the least c with c * c >= black_sum
};

inline limits limits_of(std::uint32_t black_sum) {
  limits l{black_sum, black_sum <= narrow_max, 0};
  while (l.narrow && std::uint32_t{l.clamp} * l.clamp < black_sum) {
    ++l.clamp;
  }
  return l;
}

// --- The plain loops: every pixel the hooks leave.

// The high half of sum * 21846 is the truncated third of every sum of
// three bytes (up to 765); 16-bit lanes multiply so.
inline constexpr std::uint32_t third = 21846;

// Gray levels of pixels [from, to) of a row. bpp is the compile-time pixel
// size, or 0 to use the run-time one. Without byte shuffles (SSE2) 3-byte
// pixels stay scalar, where unrolling pays.
template <std::uint32_t bpp>
inline void gray_plain(const std::uint8_t* __restrict src,
                       std::int16_t* __restrict g, std::uint32_t from,
                       std::uint32_t to, std::uint32_t runtime_bpp) {
  const std::size_t step = bpp != 0 ? bpp : runtime_bpp;
#pragma GCC unroll 4
  for (std::size_t k = from; k < to; ++k) {
    const std::uint8_t* p = src + k * step;
    const auto sum = static_cast<std::uint16_t>(p[0] + p[1] + p[2]);
    const std::uint32_t scaled = sum * third;
    g[k] = static_cast<std::int16_t>(scaled >> 16);
  }
}

// The vertical parts of columns [from, to) from the gray rows above (a),
// at (b) and below (c) the target row; c == nullptr is a row of zeros.
inline void vertical_plain(const std::int16_t* __restrict a,
                           const std::int16_t* __restrict b,
                           const std::int16_t* __restrict c,
                           std::int16_t* __restrict v,
                           std::int16_t* __restrict d, std::uint32_t from,
                           std::uint32_t to) {
  if (c == nullptr) {
    for (std::size_t k = from; k < to; ++k) {
      v[k] = static_cast<std::int16_t>(a[k] + 2 * b[k]);
      d[k] = static_cast<std::int16_t>(-a[k]);
    }
    return;
  }
  for (std::size_t k = from; k < to; ++k) {
    v[k] = static_cast<std::int16_t>(a[k] + 2 * b[k] + c[k]);
    d[k] = static_cast<std::int16_t>(c[k] - a[k]);
  }
}

// Pixels [from, to) of a row from its vertical parts (index j of v and d is
// the column left of pixel j): for a mask the target bytes, for a picture
// 255 (not an edge) or 0 per pixel. The neighbours come through pointers
// of their own: with indices j + 1 and j + 2 Clang carries loads from one
// iteration to the next and then cannot vectorise.
template <edge_output output>
inline void edge_bytes_plain(const std::int16_t* __restrict v,
                             const std::int16_t* __restrict d,
                             std::uint8_t* __restrict out, std::uint32_t from,
                             std::uint32_t to, const limits& lim) {
  constexpr std::uint8_t edge = output == edge_output::mask ? 1 : 0;
  constexpr std::uint8_t no_edge = output == edge_output::mask ? 0 : 255;
  const std::int16_t* __restrict v2 = v + 2;
  const std::int16_t* __restrict d1 = d + 1;
  const std::int16_t* __restrict d2 = d + 2;
  if (lim.narrow) {
    // 16-bit lanes: a clamped square is at most 255^2, and
    // sx + sy >= black_sum exactly when sy is at least what sx leaves.
    // The clamp is signed: SSE2 has no unsigned 16-bit minimum.
    const auto clamp = static_cast<std::int16_t>(lim.clamp);
    const auto low = static_cast<std::int16_t>(-clamp);
    const auto black = static_cast<std::uint16_t>(lim.black_sum);
    for (std::size_t j = from; j < to; ++j) {
      auto gx = static_cast<std::int16_t>(v2[j] - v[j]);
      auto gy = static_cast<std::int16_t>(d[j] + 2 * d1[j] + d2[j]);
      gx = gx < clamp ? gx : clamp;
      gx = gx > low ? gx : low;
      gy = gy < clamp ? gy : clamp;
      gy = gy > low ? gy : low;
      const auto sx = static_cast<std::uint16_t>(gx * gx);
      const auto sy = static_cast<std::uint16_t>(gy * gy);
      const auto rest = static_cast<std::uint16_t>(sx < black ? black - sx : 0);
      out[j] = sy < rest ? no_edge : edge;
    }
    return;
  }
  for (std::size_t j = from; j < to; ++j) {
    const int gx = v2[j] - v[j];
    const int gy = d[j] + 2 * d1[j] + d2[j];
    const auto sum = static_cast<std::uint32_t>(gx * gx + gy * gy);
    out[j] = sum >= lim.black_sum ? edge : no_edge;
  }
}

// Picture pixels [from, to): the level in the first three bytes, the
// source pixel's bytes past them. Eight 3-byte pixels at a time take their
// 24 bytes from a table indexed by their levels, one bit each: compilers
// cannot vectorise the plain loop without byte shuffles.
template <std::uint32_t bpp>
inline void spread_plain(const std::uint8_t* __restrict level,
                         std::uint8_t* __restrict dst,
                         const std::uint8_t* __restrict src, std::uint32_t from,
                         std::uint32_t to, std::uint32_t runtime_bpp) {
  const std::size_t step = bpp != 0 ? bpp : runtime_bpp;
  std::size_t j = from;
  if constexpr (bpp == 3 && std::endian::native == std::endian::little) {
    for (; j + 8 <= to; j += 8) {
      std::uint64_t eight;
      std::memcpy(&eight, level + j, sizeof eight);
      // Bit i of the product's top byte is byte i's low bit.
      const auto bits = static_cast<std::uint8_t>(
          ((eight & 0x0101010101010101u) * 0x0102040810204080u) >> 56);
      std::memcpy(dst + j * step, spread3_bytes.bytes[bits], 24);
    }
  }
  for (; j < to; ++j) {
    std::uint8_t* t = dst + j * step;
    t[0] = level[j];
    t[1] = level[j];
    t[2] = level[j];
    if (step > 3) {
      std::memcpy(t + 3, src + j * step + 3, step - 3);
    }
  }
}

// --- The driver.

// Columns per strip. One strip's rows of scratch (below) take about 100
// KiB; a row of an image up to strip_width wide keeps its working set in
// the first-level cache.
inline constexpr std::uint32_t strip_width = 8192;
// Elements per scratch row: the strip, the two columns beside it, and
// slack that keeps every row 128-byte aligned.
inline constexpr std::uint32_t scratch_row = strip_width + 64;
// Columns per step of the sweep along a row; a multiple of every hook's
// block.
inline constexpr std::uint32_t sweep_chunk = 512;
// Bytes a hook may use to assemble target bytes before writing them past
// the cache.
inline constexpr std::size_t stage_bytes = 8192;

struct strip_scratch {
  alignas(64) std::int16_t gray[3][scratch_row];
  alignas(64) std::int16_t v[scratch_row];
  alignas(64) std::int16_t d[scratch_row];
  alignas(64) std::uint8_t level[scratch_row];
  alignas(64) std::uint8_t stage[stage_bytes];
};
static_assert(sizeof(strip_scratch) <= kernel_scratch_bytes);
static_assert(alignof(strip_scratch) <= alignof(kernel_scratch));

// Rows with no hooks: the plain loops do everything. A variant's Rows type
// may provide either of these static member templates, each of which does
// a prefix of its row and returns how many pixels it did:
//
//   template <std::uint32_t bpp> std::uint32_t vertical(
//       const std::uint8_t* src, const std::int16_t* a, const std::int16_t* b,
//       std::int16_t* c, std::int16_t* v, std::int16_t* d, std::uint32_t n)
//     gray levels of the n source pixels at src into c, and per column
//     v = a + 2 * b + c, d = c - a; it reads no byte past src + n * bpp.
//
//   template <std::uint32_t bpp, edge_output output> std::uint32_t edges(
//       const std::int16_t* v, const std::int16_t* d, std::uint8_t* dst,
//       const std::uint8_t* src, std::uint32_t n, const limits& lim,
//       std::uint8_t* stage)
//     target pixels [0, n) at dst from v and d (pixel j uses index j to
//     j + 2), src being the source row's pixels for the bytes a picture
//     copies. A hook that decides only some thresholds (lim.narrow) does
//     nothing for the others. stage is stage_bytes of 64-byte-aligned
//     scratch.
//
// vector_rows.h writes both once for every instruction set with vectors.
struct plain_rows {};

template <class Rows, std::uint32_t bpp>
concept has_vertical = requires(const std::uint8_t* s, const std::int16_t* a,
                                std::int16_t* c, std::uint32_t n) {
  {
    Rows::template vertical<bpp>(s, a, a, c, c, c, n)
    } -> std::same_as<std::uint32_t>;
};

template <class Rows, std::uint32_t bpp, edge_output output>
concept has_edges = requires(const std::int16_t* v, std::uint8_t* t,
                             const std::uint8_t* s, std::uint32_t n,
                             const limits& lim) {
  {
    Rows::template edges<bpp, output>(v, v, t, s, n, lim, t)
    } -> std::same_as<std::uint32_t>;
};

// Index 1 of a scratch row, a strip's first column, sits at a 64-byte
// boundary: the vertical pass stores whole aligned vectors.
inline constexpr std::uint32_t lead = 31;

template <std::uint32_t bpp, edge_output output, class Rows>
void run_rows(const pixel_view& view, const limits& lim) {
  auto* const s = new (view.scratch->bytes) strip_scratch;
  const std::uint32_t pixel = bpp != 0 ? bpp : view.bytes_per_pixel;
  const std::size_t out_pixel = output == edge_output::mask ? 1 : pixel;
  auto source_row = [&view](std::uint32_t r) {
    return view.src + static_cast<std::ptrdiff_t>(r) * view.src_stride;
  };
  std::int16_t* const v = s->v + lead;
  std::int16_t* const d = s->d + lead;
  for (std::uint32_t x0 = 0; x0 < view.width; x0 += strip_width) {
    const std::uint32_t n =
        view.width - x0 < strip_width ? view.width - x0 : strip_width;
    // Index k of a scratch row is column x0 - 1 + k. Only columns in the
    // image are computed: the one left of the strip when there is one,
    // then [1, k_end). v and d stay 0 beside the image.
    const bool left = x0 != 0;
    const std::uint32_t k_end = x0 + n == view.width ? n + 1 : n + 2;
    const std::size_t at_x0 = std::size_t{x0} * pixel;
    v[0] = d[0] = 0;
    v[n + 1] = d[n + 1] = 0;
    std::int16_t* above = s->gray[0] + lead;
    std::int16_t* at = s->gray[1] + lead;
    std::int16_t* below = s->gray[2] + lead;
    auto gray = [&](std::int16_t* g, std::uint32_t row) {
      if (row >= view.height) {
        std::memset(g, 0, sizeof(std::int16_t) * (k_end + 1));
        return;
      }
      const std::uint8_t* const p = source_row(row) + at_x0;
      if (left) gray_plain<bpp>(p - pixel, g, 0, 1, pixel);
      gray_plain<bpp>(p, g + 1, 0, k_end - 1, pixel);
    };
    // Row -1 wraps to UINT32_MAX, outside the image like row height.
    gray(above, view.first_row - 1);
    gray(at, view.first_row);
    for (std::uint32_t i = view.first_row; i < view.last_row; ++i) {
      // Row i + 1 of the source, when it is in the image.
      const bool below_in_image = i + 1 < view.height;
      const std::uint8_t* const p =
          source_row(below_in_image ? i + 1 : i) + at_x0;
      std::uint8_t* const dst =
          view.dst +
          static_cast<std::ptrdiff_t>(i - view.first_row) * view.dst_stride +
          x0 * out_pixel;
      const std::uint8_t* const src = source_row(i) + at_x0;
      if (left) {
        if (below_in_image) gray_plain<bpp>(p - pixel, below, 0, 1, pixel);
        vertical_plain(above, at, below_in_image ? below : nullptr, v, d, 0, 1);
      }
      // The columns a chunk at a time, each chunk followed by the target
      // pixels it completes: one sweep along the row keeps reads of the
      // source and writes of the target in flight together.
      std::uint32_t ready = 1;  // scratch indices [0, ready) hold v and d
      std::uint32_t done = 0;   // target pixels [0, done) are written
      while (ready < k_end) {
        const std::uint32_t to =
            k_end - ready > sweep_chunk ? ready + sweep_chunk : k_end;
        if (below_in_image) {
          std::uint32_t from = ready;
          if constexpr (has_vertical<Rows, bpp>) {
            from += Rows::template vertical<bpp>(
                p + std::size_t{ready - 1} * pixel, above + ready, at + ready,
                below + ready, v + ready, d + ready, to - ready);
          }
          gray_plain<bpp>(p, below + 1, from - 1, to - 1, pixel);
          vertical_plain(above, at, below, v, d, from, to);
        } else {
          vertical_plain(above, at, nullptr, v, d, ready, to);
        }
        ready = to;
        if constexpr (has_edges<Rows, bpp, output>) {
          // Pixel j reads indices j .. j + 2; beside the image they are 0.
          const std::uint32_t complete = ready == k_end ? n : ready - 2;
          done += Rows::template edges<bpp, output>(
              v + done, d + done, dst + done * out_pixel,
              src + std::size_t{done} * pixel, complete - done, lim, s->stage);
        }
      }
      if constexpr (output == edge_output::mask) {
        edge_bytes_plain<output>(v, d, dst, done, n, lim);
      } else {
        edge_bytes_plain<output>(v, d, s->level, done, n, lim);
        spread_plain<bpp>(s->level, dst, src, done, n, pixel);
      }
      std::int16_t* const free_row = above;
      above = at;
      at = below;
      below = free_row;
    }
  }
}

// --- Entry.

template <edge_output output, class Rows>
void run_output(const pixel_view& v, std::uint32_t black_sum) {
  const limits lim = limits_of(black_sum);
  switch (v.bytes_per_pixel) {
    case 3:
      run_rows<3, output, Rows>(v, lim);
      break;
    case 4:
      run_rows<4, output, Rows>(v, lim);
      break;
    default:
      run_rows<0, output, Rows>(v, lim);
      break;
  }
}

template <class Rows = plain_rows>
void run(const pixel_view& v, std::uint32_t black_sum) {
  if (v.output == edge_output::mask) {
    run_output<edge_output::mask, Rows>(v, black_sum);
  } else {
    run_output<edge_output::picture, Rows>(v, black_sum);
  }
}

}  // namespace fused
}  // namespace
}  // namespace edgemap
