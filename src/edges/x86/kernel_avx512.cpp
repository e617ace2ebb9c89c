// The fused detector for AVX-512 (F, BW, VL, DQ) processors.
#include "edges/x86/kernel_avx512.h"

namespace edgemap {

void detect_edges_avx512(const pixel_view& view, double threshold) noexcept {
  run_x86<avx512::vec>(view, threshold, false);
}

void detect_edges_avx512_stream(const pixel_view& view,
                                double threshold) noexcept {
  run_x86<avx512::vec>(view, threshold, true);
}

}  // namespace edgemap
