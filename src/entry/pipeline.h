// The legacy job and its printed lines: load, detect, save, and one line
// per size and per failure, exactly as hosts of the exported function have
// always seen them.
#pragma once

#include <cstdint>
#include <cstdio>

#include "bitmap/image_state.h"
#include "pipeline/transcode.h"

namespace edgemap {

// Runs the three stages on state in order whatever each reports, so a
// failed load still saves the image the state holds, and prints their
// lines to `lines`. Returns true when the load and the save both
// succeeded.
bool run_pipeline(image_state& state, const char* fname_s, const char* fname_t,
                  double threshold, std::FILE* lines = stdout) noexcept;

// Prints the lines the legacy job prints for a conversion done without
// module state (as on the module's first call). Returns true when it
// succeeded.
bool print_conversion(const conversion& c, std::FILE* lines) noexcept;

}  // namespace edgemap
