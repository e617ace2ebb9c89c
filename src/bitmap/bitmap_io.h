// Reading the source bitmap into an image_state and writing the target.
#pragma once

#include <cstdint>

#include "bitmap/image_state.h"

namespace edgemap {

// Opens fname_s (UTF-8, or null for no path) and loads its pixel array into
// state.images_s, allocating state.image_t beside it. Returns 0, or -1 after
// printing one line naming what failed. A failed open keeps the previous
// image; any later failure leaves no image at all. On success fp_s stays
// open until save_image_t.
std::int32_t load_image_s(image_state& state, const char* fname_s) noexcept;

// Writes the 54-byte header and state.image_t to fname_t, printing the
// "file size" and "size" lines, and closes both streams. Without an image
// the target is created empty. Returns 0, or -1 after printing one line.
std::int32_t save_image_t(image_state& state, const char* fname_t) noexcept;

}  // namespace edgemap
