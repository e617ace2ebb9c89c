// One run of the edge-map job over an image_state: load, detect, save.
#pragma once

#include <cstdint>

#include "bitmap/image_state.h"

namespace edgemap {

// The threshold hosts of the exported function always get.
constexpr double edge_threshold = 90.0;

// Runs the three stages in order whatever each reports, so a failed load
// still saves the image the state holds. Returns true when the load and
// the save both succeeded.
bool run_pipeline(image_state& state, const char* fname_s, const char* fname_t,
                  double threshold) noexcept;

}  // namespace edgemap
