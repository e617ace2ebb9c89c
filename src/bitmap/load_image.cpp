#include <cstring>

#include "bitmap/bitmap_header.h"
#include "bitmap/bitmap_io.h"
#include "bitmap/file_io.h"

namespace edgemap {
namespace {

constexpr std::uint32_t min_bit_count = 24;

struct pixel_layout {
  std::uint16_t bytes_per_pixel;
  std::uint32_t width;
  std::uint32_t height;
  bool top_down;
  std::uint64_t stride;
  std::uint64_t bytes;      // stride * height
  std::uint64_t row_bytes;  // bytes_per_pixel * width, without padding
};

pixel_layout layout_of(const std::uint8_t* fields) {
  pixel_layout l{};
  l.bytes_per_pixel =
      static_cast<std::uint16_t>(fields[offset_bi_bit_count] >> 3);
  l.width = read_u32_le(fields + offset_bi_width);
  const std::uint32_t height_field = read_u32_le(fields + offset_bi_height);
  l.top_down = (height_field & 0x80000000u) != 0;
  l.height = l.top_down ? 0u - height_field : height_field;
  l.row_bytes = std::uint64_t{l.bytes_per_pixel} * l.width;
  l.stride = (l.row_bytes + 3) & ~std::uint64_t{3};
  l.bytes = l.stride * l.height;
  return l;
}

// Drops the current image and its dimensions. The buffers' memory stays for
// the next image.
void forget_image(image_state& state) noexcept {
  state.has_image = false;
  state.target_ready = false;
  state.data_offset = 0;
  state.width = 0;
  state.height = 0;
  state.top_down = false;
  state.bit_count = 0;
  state.bytes_per_pixel = 0;
  state.stride = 0;
}

std::int32_t fail(image_state& state, const char* message) noexcept {
  say(message);
  state.fp_s.reset();
  return -1;
}

}  // namespace

std::int32_t load_image_s(image_state& state, const char* fname_s) noexcept {
  // Replacing fp_s closes a stream that an earlier load left open.
  state.fp_s.reset(open_file(fname_s, "rb"));
  if (!state.fp_s) {
    say("fopen fp_s error\n");
    return -1;
  }
  forget_image(state);
  std::FILE* fp = state.fp_s.get();

  const auto file_size = stream_size(fp);
  std::uint8_t fields[fields_end];
  if (!file_size || std::fread(fields, 1, fields_end, fp) != fields_end) {
    return fail(state, "fread fp_s error\n");
  }
  if (fields[offset_bi_bit_count] < min_bit_count) {
    return fail(state, "check bit_count error\n");
  }
  const pixel_layout l = layout_of(fields);
  // The target's bfSize, header included, must fit its 32-bit field.
  if (l.bytes > UINT32_MAX - header_size) {
    return fail(state, "malloc images_s error\n");
  }
  // The last row's pad bytes may be missing from the file; nothing else may.
  const std::uint32_t data_offset = read_u32_le(fields + offset_bf_off_bits);
  const std::uint64_t needed =
      l.bytes == 0 ? 0 : l.bytes - (l.stride - l.row_bytes);
  if (*file_size < data_offset + needed) {
    return fail(state, "fread images_s error\n");
  }

  const auto bytes = static_cast<std::size_t>(l.bytes);
  if (!state.images_s.reserve(bytes)) {
    return fail(state, "malloc images_s error\n");
  }
  // Not cleared: detect_edges writes every byte of the target, and the
  // saver clears it when detect_edges has not run.
  if (!state.image_t.reserve(bytes)) {
    return fail(state, "malloc image_t error\n");
  }
  // The file may have shrunk since its size was taken.
  std::uint8_t* const pixels = state.images_s.get();
  const std::size_t got =
      seek_to(fp, data_offset) ? std::fread(pixels, 1, bytes, fp) : 0;
  if (got < needed) {
    return fail(state, "fread images_s error\n");
  }
  std::memset(pixels + got, 0, bytes - got);

  state.has_image = true;
  state.data_offset = data_offset;
  state.width = l.width;
  state.height = l.height;
  state.top_down = l.top_down;
  state.bit_count = read_u16_le(fields + offset_bi_bit_count);
  state.bytes_per_pixel = l.bytes_per_pixel;
  state.stride = static_cast<std::uint32_t>(l.stride);
  return 0;
}

}  // namespace edgemap
