#include "bitmap/bitmap_header.h"

#include <cstdint>
#include <cstring>

namespace edgemap {
namespace {

constexpr std::uint32_t min_bit_count = 24;

}  // namespace

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

status parse_bitmap(const std::uint8_t* head, std::uint64_t available,
                    std::uint64_t file_size, bitmap_layout& layout) noexcept {
  if (available < fields_end || file_size < fields_end) {
    return status::header;
  }
  if (head[offset_bi_bit_count] < min_bit_count) {
    return status::bit_count;
  }
  bitmap_layout l;
  l.data_offset = read_u32_le(head + offset_bf_off_bits);
  l.width = read_u32_le(head + offset_bi_width);
  const std::uint32_t height_field = read_u32_le(head + offset_bi_height);
  l.top_down = (height_field & 0x80000000u) != 0;
  l.height = l.top_down ? 0u - height_field : height_field;
  l.bit_count = read_u16_le(head + offset_bi_bit_count);
  l.bytes_per_pixel =
      static_cast<std::uint16_t>(head[offset_bi_bit_count] >> 3);
  const std::uint64_t row_bytes = std::uint64_t{l.bytes_per_pixel} * l.width;
  const std::uint64_t stride = (row_bytes + 3) & ~std::uint64_t{3};
  const std::uint64_t bytes = stride * l.height;
  // The target's bfSize, header included, must fit its 32-bit field.
  if (bytes > UINT32_MAX - header_size) {
    return status::too_large;
  }
  const std::uint64_t needed = bytes == 0 ? 0 : bytes - (stride - row_bytes);
  if (file_size < l.data_offset + needed) {
    return status::truncated;
  }
  l.stride = static_cast<std::uint32_t>(stride);
  l.pixel_bytes = static_cast<std::uint32_t>(bytes);
  l.needed = static_cast<std::uint32_t>(needed);
  layout = l;
  return status::ok;
}

void zero_row_padding(std::uint8_t* pixels, std::uint32_t rows,
                      const bitmap_layout& l) noexcept {
  const std::size_t pad = l.stride - l.row_bytes();
  for (std::uint32_t r = 0; r < rows && pad != 0; ++r) {
    std::memset(pixels + std::size_t{r} * l.stride + l.row_bytes(), 0, pad);
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

void patch_bmp_header(std::uint8_t* h, const bitmap_layout& l) noexcept {
  write_u32_le(h + offset_bf_size, header_size + l.pixel_bytes);
  write_u32_le(h + offset_bi_width, l.width);
  // A top-down source keeps its negative height, so the target is top-down
  // too and its rows stay in the order they were read.
  write_u32_le(h + offset_bi_height, l.top_down ? 0u - l.height : l.height);
  h[offset_bi_bit_count] = static_cast<std::uint8_t>(l.bit_count & 0xff);
}

}  // namespace edgemap
