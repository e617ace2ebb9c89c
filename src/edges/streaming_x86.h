// What the x86 variants share around their row code: the choice between
// keeping the target in the cache and writing it past the cache.
// Include after fused_kernel.h, in a unit built for the variant's
// instruction set.
#pragma once

#include <immintrin.h>

#include <cstddef>

#include "edges/edge_variants.h"
#include "edges/fused_kernel.h"

namespace edgemap {
namespace {

// From this many bytes of target on, the target bypasses the cache: it
// would not stay there anyway, and streaming saves reading every line
// before writing it.
inline constexpr std::size_t stream_from = std::size_t{32} << 20;

// Runs the fused detector with Rows<true> (streaming stores, fenced before
// returning) for large targets or when asked, and Rows<false> otherwise.
template <template <bool> class Rows>
void run_x86(const pixel_view& view, double threshold, bool always_stream) {
  const std::uint32_t black_sum = least_black_sum(threshold);
  const auto rows = std::size_t{view.last_row - view.first_row};
  const auto row_bytes = static_cast<std::size_t>(
      view.dst_stride < 0 ? -view.dst_stride : view.dst_stride);
  if (always_stream || row_bytes * rows >= stream_from) {
    fused::run<Rows<true>>(view, black_sum);
    _mm_sfence();
  } else {
    fused::run<Rows<false>>(view, black_sum);
  }
}

}  // namespace
}  // namespace edgemap
