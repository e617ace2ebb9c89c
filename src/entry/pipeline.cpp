#include "entry/pipeline.h"

#include "bitmap/bitmap_io.h"
#include "edges/detect_edges.h"

namespace edgemap {

bool run_pipeline(image_state& state, const char* fname_s, const char* fname_t,
                  double threshold) noexcept {
  const std::int32_t loaded = load_image_s(state, fname_s);
  (void)detect_edges(state, threshold);  // cannot fail
  const std::int32_t saved = save_image_t(state, fname_t);
  return loaded == 0 && saved == 0;
}

}  // namespace edgemap
