// What the x86 variants share around their vector types: the choice
// between keeping the target in the cache and writing it past the cache.
// Include in a unit built for the variant's instruction set.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "edges/edge_variants.h"
#include "edges/fused_kernel.h"
#include "edges/vector_rows.h"

namespace edgemap {
namespace {

// From this many bytes of source and target together on (about the
// last-level cache of one core's share), the target bypasses the cache: it
// would not stay there anyway, and streaming saves reading every line
// before writing it. The source is then prefetched as well.
inline constexpr std::size_t stream_from = std::size_t{32} << 20;

// How far ahead of the gray loop the source is then fetched, in bytes.
inline constexpr std::size_t prefetch_ahead = 3072;

// Copies bytes from put, which sits at the same offset within a cache line
// as out, to out: whole lines with streaming stores, the partial lines at
// either end with plain ones. Each unit's copy uses its widest vectors.
inline void stream_out(std::uint8_t* out, const std::uint8_t* put,
                       std::size_t bytes) {
  std::size_t k = (64 - (reinterpret_cast<std::uintptr_t>(out) & 63)) & 63;
  k = k < bytes ? k : bytes;
  std::memcpy(out, put, k);
  for (; k + 64 <= bytes; k += 64) {
#if defined(__AVX512F__)
    _mm512_stream_si512(reinterpret_cast<__m512i*>(out + k),
                        _mm512_load_si512(put + k));
#elif defined(__AVX2__)
    for (std::size_t h = 0; h < 64; h += 32) {
      _mm256_stream_si256(
          reinterpret_cast<__m256i*>(out + k + h),
          _mm256_load_si256(reinterpret_cast<const __m256i*>(put + k + h)));
    }
#else
    for (std::size_t h = 0; h < 64; h += 16) {
      _mm_stream_si128(
          reinterpret_cast<__m128i*>(out + k + h),
          _mm_load_si128(reinterpret_cast<const __m128i*>(put + k + h)));
    }
#endif
  }
  std::memcpy(out + k, put + k, bytes - k);
}

// What a vector type for vector_rows needs to stream on x86.
struct x86_streaming {
  static void prefetch(const std::uint8_t* p) {
    _mm_prefetch(reinterpret_cast<const char*>(p + prefetch_ahead),
                 _MM_HINT_T0);
  }
  static void stream_out(std::uint8_t* out, const std::uint8_t* put,
                         std::size_t bytes) {
    edgemap::stream_out(out, put, bytes);
  }
};

// Runs the fused detector over vector type V with streaming stores (fenced
// before returning) for large targets or when asked, and plain ones
// otherwise.
template <class V>
void run_x86(const pixel_view& view, double threshold, bool always_stream) {
  const std::uint32_t black_sum = least_black_sum(threshold);
  const auto rows = std::size_t{view.last_row - view.first_row};
  const std::size_t row_bytes =
      std::size_t{view.width} * view.bytes_per_pixel +
      (view.output == edge_output::mask
           ? view.width
           : std::size_t{view.width} * view.bytes_per_pixel);
  if (always_stream || row_bytes * rows >= stream_from) {
    fused::run<fused::vector_rows<V, true>>(view, black_sum);
    _mm_sfence();
  } else {
    fused::run<fused::vector_rows<V, false>>(view, black_sum);
  }
}

}  // namespace
}  // namespace edgemap
