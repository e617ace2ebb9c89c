// Shared by the decoder harnesses (png, jpeg): edgemap_convert_memory_ex on
// an image with options taken from the input's first two bytes, and the
// checks every outcome must pass.
//
// Input layout:
//   byte 0, bits 0-1: format (AUTO, BMP, PNG, PNG)
//           bits 2-3: which of the format's depths (BMP 0/1/8/24, PNG 0/1/8/8)
//           bit 4:    two threads, else one
//           bits 5-6: max_pixels 2^20, 2^14, 256 or 2^20 (never 0: a bomb
//                     would allocate what it declares)
//           bit 7:    threshold byte 1, else 90
//   byte 1: the threshold when bit 7 says so
//   rest:   the image, whose first bytes are forced to the harness's
//           signature so mutations are not spent on other kinds
#pragma once

#include <cstddef>
#include <cstdint>

namespace edgemap::fuzz {

// Runs one input. signature (signature_size bytes) overwrites the start of
// the image when the image is at least that long.
void run_image_input(const std::uint8_t* data, std::size_t size,
                     const std::uint8_t* signature, std::size_t signature_size);

}  // namespace edgemap::fuzz
