#include "bitmap/image_state.h"

#include "bitmap/bitmap_header.h"

namespace edgemap {

image_state::image_state() : bmp_header(initial_bmp_header()) {}

std::uint32_t pixel_bytes(const image_state& state) noexcept {
  return state.stride * state.height;
}

}  // namespace edgemap
