// What a stage reports. The values are the public EDGEMAP_* codes; only
// the legacy entry turns them into its printed lines.
#pragma once

namespace edgemap {

enum class status : int {
  ok = 0,
  open_source = -1,  // the source cannot be opened
  header = -2,       // the source is shorter than its header fields
  bit_count = -3,    // fewer than 24 bits per pixel
  // A bitmap whose pixel array, and so its target, would not fit bfSize's
  // 32 bits. The legacy load reports it too when the pixel array cannot be
  // allocated, as its line for both ("malloc images_s error") always has;
  // every other failed allocation is no_memory.
  too_large = -4,
  no_memory = -5,     // memory that cannot be had
  truncated = -6,     // the source is shorter than its pixel array
  open_target = -7,   // the target cannot be created
  write = -8,         // the target cannot be written completely
  argument = -9,      // a call the API cannot accept
  unsupported = -10,  // a format, colour space or depth not handled here
  pixel_limit = -11,  // more pixels than the caller allows
  corrupt = -12,      // compressed data that cannot be decoded
  not_image = -13,    // none of the formats this library reads
  // An edge map too large for its target's format (a BMP past 4 GiB),
  // where another format could hold it.
  target_too_large = -14,
};

}  // namespace edgemap
