// The legacy middle stage. The edge map itself is computed as the target
// is written (save_image_t), a band at a time, so that no second full-size
// buffer is needed.
#include "bitmap/bitmap_io.h"

namespace edgemap {

std::int32_t detect_edges(image_state& state, double threshold) noexcept {
  if (state.has_image) {
    state.threshold = threshold;
    state.target_ready = true;
  }
  return 0;
}

}  // namespace edgemap
