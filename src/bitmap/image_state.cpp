#include "bitmap/image_state.h"

namespace edgemap {

image_state::image_state() : bmp_header(initial_bmp_header()) {}

std::uint32_t pixel_bytes(const image_state& state) noexcept {
  return state.has_image ? state.layout.pixel_bytes : 0;
}

}  // namespace edgemap
