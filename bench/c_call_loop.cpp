// For bench/python_bench.py, loaded through ctypes: seconds per
// edgemap_detect call, repeated in one loop with no Python between calls.
// What a binding adds to a call is its detect's time less this. Built as a
// library of its own beside the benchmarks, so that the Python module
// holds nothing but the package's marshalling.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "edgemap.h"

extern "C" EDGEMAP_EXPORT_LOOP double edgemap_bench_c_call_seconds(
    const std::uint8_t* src, std::ptrdiff_t src_stride, std::uint8_t* dst,
    std::ptrdiff_t dst_stride, std::uint32_t width, std::uint32_t height,
    std::uint32_t bytes_per_pixel, double threshold, unsigned threads,
    unsigned repeats) noexcept {
  if (repeats == 0) return 0.0;
  const auto start = std::chrono::steady_clock::now();
  for (unsigned i = 0; i < repeats; ++i) {
    if (edgemap_detect(src, src_stride, dst, dst_stride, width, height,
                       bytes_per_pixel, threshold, threads) != EDGEMAP_OK) {
      std::abort();
    }
  }
  const std::chrono::duration<double> took =
      std::chrono::steady_clock::now() - start;
  return took.count() / repeats;
}
