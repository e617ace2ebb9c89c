// The fused detector for AVX-512 processors with VBMI.
#include "edges/x86/kernel_avx512.h"

namespace edgemap {

void detect_edges_avx512vbmi(const pixel_view& view,
                             double threshold) noexcept {
  run_x86<avx512::vec>(view, threshold, false);
}

void detect_edges_avx512vbmi_stream(const pixel_view& view,
                                    double threshold) noexcept {
  run_x86<avx512::vec>(view, threshold, true);
}

}  // namespace edgemap
