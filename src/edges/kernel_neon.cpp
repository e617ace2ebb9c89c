// The fused detector built for 32-bit ARM with NEON.
#include "edges/edge_variants.h"
#include "edges/fused_kernel.h"

namespace edgemap {

void detect_edges_neon(const pixel_view& view, double threshold) noexcept {
  fused::run(view, least_black_sum(threshold));
}

}  // namespace edgemap
