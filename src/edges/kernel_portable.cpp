// The fused detector built for the target's baseline instruction set.
#include "edges/edge_variants.h"
#include "edges/fused_kernel.h"

namespace edgemap {

void detect_edges_portable(const pixel_view& view, double threshold) noexcept {
  fused::run(view, least_black_sum(threshold));
}

}  // namespace edgemap
