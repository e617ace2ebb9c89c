// The legacy entry's record: the image of the last successful load (its
// header fields and source pixels), the buffer the target is computed in,
// band by band, and the source stream.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "bitmap/bitmap_header.h"
#include "core/pixel_buffer.h"
#include "platform/files.h"

namespace edgemap {

struct image_state {
  // True once a load has succeeded, false after any load that failed past
  // the open. A failed open leaves the previous image in place.
  bool has_image = false;
  bitmap_layout layout;  // of the image held; all zero without one
  // The source pixel array, layout.pixel_bytes bytes. Its memory outlives
  // the image and serves the next one that fits.
  pixel_buffer images_s;
  // Target rows, one band at a time (a few MiB at most), reused likewise.
  pixel_buffer image_t;
  // Set by detect_edges: the edge map is to be saved at this threshold.
  // Until then a save writes an all-zero pixel array.
  bool target_ready = false;
  double threshold = 0.0;
  file_ptr fp_s;
  // The file the last load failed to read (unknown after a load that
  // succeeded), so that a save never replaces it with an empty file or
  // with the image an earlier load left.
  file_identity failed_source;
  std::array<std::uint8_t, header_size> bmp_header;

  image_state();
};

// Bytes in the pixel array of the image held (0 without one).
std::uint32_t pixel_bytes(const image_state& state) noexcept;

}  // namespace edgemap
