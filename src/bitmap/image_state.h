// The one record every stage works on: the current image's header fields,
// its source and target pixel buffers and the two file streams.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "bitmap/pixel_buffer.h"

namespace edgemap {

struct file_closer {
  void operator()(std::FILE* f) const noexcept { (void)std::fclose(f); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

constexpr std::uint32_t header_size = 54;

struct image_state {
  // True once a load has succeeded, false after any load that failed past
  // the open. A failed open leaves the previous image in place.
  bool has_image = false;
  std::uint32_t data_offset = 0;  // where the source's pixel array starts
  std::uint32_t width = 0;        // pixels per row
  std::uint32_t height = 0;       // number of rows, whatever the row order
  bool top_down = false;          // biHeight was negative
  std::uint16_t bit_count = 0;  // biBitCount as read; only its low byte counts
  std::uint16_t bytes_per_pixel = 0;
  std::uint32_t stride = 0;  // bytes per row in the file, padded to 4
  // The two pixel arrays, stride * height bytes each. Their memory outlives
  // the image and serves the next one that fits; has_image says whether
  // they hold one.
  pixel_buffer images_s;  // source pixel array
  pixel_buffer image_t;   // target pixel array, same layout
  // True once detect_edges has written every byte of image_t for the
  // current image; until then the target memory holds leftovers.
  bool target_ready = false;
  file_ptr fp_s;
  file_ptr fp_t;
  std::array<std::uint8_t, header_size> bmp_header;

  image_state();
};

// Bytes in each pixel array: stride * height. Fits in 32 bits by
// construction; a load rejects anything larger.
std::uint32_t pixel_bytes(const image_state& state) noexcept;

}  // namespace edgemap
