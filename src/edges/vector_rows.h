// The fused driver's hooks (see run_rows in fused_kernel.h) written once
// for every instruction set with vectors, over a small type V of that
// instruction set's own. Include after fused_kernel.h, in a unit built for
// V's instruction set. V provides:
//
//   words                 a vector of 16-bit lanes, `lanes` of them;
//   load(p), store(p, x)  of words at any int16_t address;
//   add(x, y), sub(x, y)  lane by lane, wrapping;
//   takes<bpp>            whether gray and put handle pixels of bpp bytes
//                         (a mask's put handles every size);
//   gray_step             pixels per gray step, a multiple of lanes;
//   gray<bpp>(p, g)       gray levels of gray_step pixels at p into
//                         g[0 .. gray_step / lanes), reading no byte past
//                         the last pixel;
//   edge_step             pixels per target step, a power of two;
//   decides(lim)          whether no_edge decides every pixel at lim;
//   thresholds(lim)       the constants no_edge compares with;
//   no_edge(v, d, j, t)   the verdicts of pixels j .. j + edge_step - 1,
//                         set where the gradient sum stays below
//                         lim.black_sum, in whatever form put takes
//                         (gradients_at and gradients_of below give it gx
//                         and gy);
//   put<bpp, output>(verdict, t, s)
//                         the target bytes of edge_step pixels at t, s
//                         being the source pixels for the bytes a picture
//                         copies;
//
// and for streaming (targets written past the cache), prefetch(p), which
// fetches the source line that p + prefetch_ahead lies in, and
// stream_out(out, put, bytes).
#pragma once

#include <cstddef>
#include <cstdint>

#include "edges/detect_edges.h"
#include "edges/fused_kernel.h"

namespace edgemap {
namespace {
namespace fused {

// gx and gy of V::lanes pixels j.. from their vertical parts, index j of v
// and d being the column left of pixel j: gx = v[j + 2] - v[j] and
// gy = d[j] + 2 * d[j + 1] + d[j + 2], from those vectors of v and d that
// start at the offsets their names end in.
template <class V>
struct gradients {
  typename V::words gx, gy;
};

template <class V>
inline gradients<V> gradients_of(typename V::words v0, typename V::words v2,
                                 typename V::words d0, typename V::words d1,
                                 typename V::words d2) {
  return {V::sub(v2, v0), V::add(V::add(d0, d2), V::add(d1, d1))};
}

// The same, each vector loaded at its offset.
template <class V>
inline gradients<V> gradients_at(const std::int16_t* v, const std::int16_t* d,
                                 std::size_t j) {
  return gradients_of<V>(V::load(v + j), V::load(v + j + 2), V::load(d + j),
                         V::load(d + j + 1), V::load(d + j + 2));
}

// With streaming set (targets larger than the cache), the source is
// prefetched and targets are written past the cache.
template <class V, bool streaming>
struct vector_rows {
  template <std::uint32_t bpp>
  static std::uint32_t vertical(const std::uint8_t* src, const std::int16_t* a,
                                const std::int16_t* b, std::int16_t* c,
                                std::int16_t* v, std::int16_t* d,
                                std::uint32_t n) {
    if constexpr (!V::template takes<bpp>) {
      return 0;
    } else {
      constexpr std::uint32_t parts = V::gray_step / V::lanes;
      std::size_t k = 0;
      for (; k + V::gray_step <= n; k += V::gray_step) {
        const std::uint8_t* p = src + k * bpp;
        if constexpr (streaming) {
          // One line of 64 bytes per 64 / bpp pixels.
          if (k % 64 == 0) {
            for (std::size_t line = 0; line < bpp; ++line) {
              V::prefetch(p + 64 * line);
            }
          }
        }
        typename V::words g[parts];
        V::template gray<bpp>(p, g);
        for (std::size_t h = 0; h < parts; ++h) {
          const std::size_t at = k + V::lanes * h;
          const typename V::words above = V::load(a + at);
          const typename V::words mid = V::load(b + at);
          V::store(c + at, g[h]);
          V::store(v + at, V::add(V::add(above, g[h]), V::add(mid, mid)));
          V::store(d + at, V::sub(g[h], above));
        }
      }
      return static_cast<std::uint32_t>(k);
    }
  }

  template <std::uint32_t bpp, edge_output output>
  static std::uint32_t edges(const std::int16_t* v, const std::int16_t* d,
                             std::uint8_t* dst, const std::uint8_t* src,
                             std::uint32_t n, const limits& lim,
                             std::uint8_t* stage) {
    constexpr std::uint32_t out_pixel = output == edge_output::mask ? 1 : bpp;
    if constexpr (!V::template takes<bpp> && output == edge_output::picture) {
      return 0;
    } else {
      if (!V::decides(lim)) return 0;
      const auto thresholds = V::thresholds(lim);
      constexpr std::uint32_t step = V::edge_step;
      std::size_t j = 0;
      if constexpr (!streaming) {
        for (; j + step <= n; j += step) {
          V::template put<bpp, output>(V::no_edge(v, d, j, thresholds),
                                       dst + j * out_pixel, src + j * bpp);
        }
      } else {
        // Streamed targets are assembled in stage, at the target's offset
        // within a cache line, and written out a chunk of whole lines at a
        // time.
        constexpr std::uint32_t chunk =
            (stage_bytes - 64) / out_pixel / step * step;
        while (j + step <= n) {
          const std::size_t left = (n - j) & ~std::size_t{step - 1};
          const std::size_t m = left < chunk ? left : chunk;
          std::uint8_t* const out = dst + j * out_pixel;
          std::uint8_t* const put =
              stage + (reinterpret_cast<std::uintptr_t>(out) & 63);
          for (std::size_t p = 0; p < m; p += step) {
            V::template put<bpp, output>(V::no_edge(v, d, j + p, thresholds),
                                         put + p * out_pixel,
                                         src + (j + p) * bpp);
          }
          V::stream_out(out, put, m * out_pixel);
          j += m;
        }
      }
      return static_cast<std::uint32_t>(j);
    }
  }
};

}  // namespace fused
}  // namespace
}  // namespace edgemap
