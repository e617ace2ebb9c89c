// The fused integer detector, in plain C++ that compilers vectorise. Each
// variant translation unit includes this once and compiles it for its own
// instruction set, so everything here has internal linkage: no out-of-line
// copy built for one instruction set can be picked by the linker for
// another.
//
// One pass over the source: the grey levels of three rows live in a small
// ring in the caller's scratch memory (a strip of at most tile_width columns
// at a time), each
// source row is turned into grey levels once, and each target row is
// computed from the three grey rows around it. Columns and rows outside the
// image are grey level 0, stored as zero padding in the ring, so no pixel
// needs a bounds check. The gradient is exact in integers: |gx|, |gy| <=
// 1020, so gx^2 + gy^2 fits in 32 bits and is compared with the least
// black sum the caller worked out from the threshold.
//
// A variant may hand run() a Rows type whose grey3 and edges3 do the start
// of a 3-byte-pixel row with intrinsics and return how many pixels they
// did; the plain loops below finish the row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "edges/detect_edges.h"

namespace edgemap {
namespace {
namespace fused {

// Columns per strip: the ring, three rows of tile_width<G> + 64 grey
// levels of type G, takes 48 KiB of scratch and stays within the
// second-level cache.
template <class G>
constexpr std::uint32_t tile_width = 16384 / sizeof(G);

// Rows with nothing but the plain loops. A Rows type also chooses the grey
// level's type: 32 bits spare vector code any packing, 16 bits do twice
// the pixels per instruction.
struct plain_rows {
  using grey_type = std::int32_t;
  static std::uint32_t grey3(const std::uint8_t*, grey_type*, std::uint32_t) {
    return 0;
  }
  static std::uint32_t edges3(const grey_type*, const grey_type*,
                              const grey_type*, std::uint8_t*, std::uint32_t,
                              std::uint32_t) {
    return 0;
  }
};

// Grey levels of pixels [0, n) of a row into out. bpp is the compile-time
// pixel size, or 0 to use the run-time one.
template <std::uint32_t bpp, class Rows,
          class grey_t = typename Rows::grey_type>
inline void grey_row(const std::uint8_t* __restrict src, grey_t* __restrict out,
                     std::uint32_t n, std::uint32_t runtime_bpp) {
  const std::size_t step = bpp != 0 ? bpp : runtime_bpp;
  const std::uint32_t done = bpp == 3 ? Rows::grey3(src, out, n) : 0;
  for (std::uint32_t j = done; j < n; ++j) {
    const std::uint8_t* p = src + j * step;
    const unsigned sum = unsigned{p[0]} + unsigned{p[1]} + unsigned{p[2]};
    out[j] = static_cast<grey_t>(sum / 3u);
  }
}

// Target pixels [0, n) of a row from the grey rows above (a), at (b) and
// below (c) it; index k of a grey row is column k - 1 of the strip.
template <std::uint32_t bpp, edge_output output, class Rows,
          class grey_t = typename Rows::grey_type>
inline void edge_row(const grey_t* __restrict a, const grey_t* __restrict b,
                     const grey_t* __restrict c, std::uint8_t* __restrict dst,
                     std::uint32_t n, std::uint32_t black_sum,
                     std::uint32_t runtime_bpp) {
  const std::size_t step = bpp != 0 ? bpp : runtime_bpp;
  const std::uint32_t done = bpp == 3 && output == edge_output::picture
                                 ? Rows::edges3(a, b, c, dst, n, black_sum)
                                 : 0;
  for (std::uint32_t j = done; j < n; ++j) {
    const int left = a[j] + 2 * b[j] + c[j];
    const int right = a[j + 2] + 2 * b[j + 2] + c[j + 2];
    const int above = a[j] + 2 * a[j + 1] + a[j + 2];
    const int below = c[j] + 2 * c[j + 1] + c[j + 2];
    const int gx = right - left;
    const int gy = below - above;
    const auto sum = static_cast<std::uint32_t>(gx * gx + gy * gy);
    if constexpr (output == edge_output::mask) {
      dst[j] = sum >= black_sum ? 1 : 0;
    } else {
      const std::uint8_t level = sum >= black_sum ? 0 : 255;
      std::uint8_t* t = dst + j * step;
      t[0] = level;
      t[1] = level;
      t[2] = level;
    }
  }
}

template <std::uint32_t bpp, edge_output output, class Rows>
void run_strips(const pixel_view& v, std::uint32_t black_sum) {
  using grey_t = typename Rows::grey_type;
  constexpr std::uint32_t tile = tile_width<grey_t>;
  // Vector code may read up to 64 levels past a row's end; those are never
  // used, but they are defined.
  using ring_row = grey_t[tile + 64];
  static_assert(3 * sizeof(ring_row) <= kernel_scratch_bytes);
  auto* const ring = reinterpret_cast<ring_row*>(v.scratch->bytes);
  std::memset(ring, 0, 3 * sizeof(ring_row));
  const std::uint32_t pixel = bpp != 0 ? bpp : v.bytes_per_pixel;
  const std::size_t out_pixel = output == edge_output::mask ? 1 : pixel;
  for (std::uint32_t x0 = 0; x0 < v.width; x0 += tile) {
    const std::uint32_t n = v.width - x0 < tile ? v.width - x0 : tile;
    // Grey levels of columns x0 - 1 .. x0 + n, zero outside the image.
    const std::uint32_t lo = x0 == 0 ? 0 : x0 - 1;
    const std::uint32_t hi = v.width - x0 - n == 0 ? v.width : x0 + n + 1;
    const std::uint32_t skip = x0 == 0 ? 1 : 0;
    auto load = [&](grey_t* out, std::uint32_t row) {
      if (row >= v.height) {
        std::memset(out, 0, sizeof(grey_t) * (n + 2));
        return;
      }
      out[0] = 0;
      out[n + 1] = 0;
      grey_row<bpp, Rows>(v.src +
                              static_cast<std::ptrdiff_t>(row) * v.src_stride +
                              std::size_t{lo} * pixel,
                          out + skip, hi - lo, pixel);
    };
    grey_t* above = ring[0];
    grey_t* at = ring[1];
    grey_t* below = ring[2];
    // Row -1 wraps to UINT32_MAX, outside the image like row height.
    load(above, v.first_row - 1);
    load(at, v.first_row);
    load(below, v.first_row + 1);
    for (std::uint32_t i = v.first_row; i < v.last_row; ++i) {
      edge_row<bpp, output, Rows>(
          above, at, below,
          v.dst + static_cast<std::ptrdiff_t>(i - v.first_row) * v.dst_stride +
              std::size_t{x0} * out_pixel,
          n, black_sum, pixel);
      grey_t* next = above;
      above = at;
      at = below;
      below = next;
      load(below, i + 2);
    }
  }
}

template <edge_output output, class Rows>
void run_output(const pixel_view& v, std::uint32_t black_sum) {
  switch (v.bytes_per_pixel) {
    case 3:
      run_strips<3, output, Rows>(v, black_sum);
      break;
    case 4:
      run_strips<4, output, Rows>(v, black_sum);
      break;
    default:
      run_strips<0, output, Rows>(v, black_sum);
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
