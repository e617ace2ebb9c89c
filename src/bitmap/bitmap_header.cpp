#include "bitmap/bitmap_header.h"

namespace edgemap {

std::uint32_t read_u32_le(const std::uint8_t* p) noexcept {
  return static_cast<std::uint32_t>(p[0]) |
         static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 |
         static_cast<std::uint32_t>(p[3]) << 24;
}

std::uint16_t read_u16_le(const std::uint8_t* p) noexcept {
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

void write_u32_le(std::uint8_t* p, std::uint32_t value) noexcept {
  for (int i = 0; i < 4; ++i) {
    p[i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

std::array<std::uint8_t, header_size> initial_bmp_header() noexcept {
  std::array<std::uint8_t, header_size> h{};
  h[0] = 'B';
  h[1] = 'M';
  write_u32_le(&h[offset_bf_off_bits], header_size);
  write_u32_le(&h[14], 40);  // biSize: the classic info header
  h[26] = 1;                 // biPlanes
  h[offset_bi_bit_count] = 24;
  return h;
}

void patch_bmp_header(image_state& state, std::uint32_t file_size) noexcept {
  auto* h = state.bmp_header.data();
  write_u32_le(h + offset_bf_size, file_size);
  write_u32_le(h + offset_bi_width, state.width);
  // A top-down source keeps its negative height, so the target is top-down
  // too and its rows stay in the order they were read.
  const std::uint32_t height_field =
      state.top_down ? 0u - state.height : state.height;
  write_u32_le(h + offset_bi_height, height_field);
  h[offset_bi_bit_count] = static_cast<std::uint8_t>(state.bit_count & 0xff);
}

}  // namespace edgemap
