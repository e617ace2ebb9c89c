// Shared by the decoder harnesses (png, jpeg, webp, tiff):
// edgemap_convert_memory_ex on an image with options taken from two bytes
// of the input, and the checks every outcome must pass.
//
// The two option bytes:
//   first, bits 0-1: format (AUTO, BMP, PNG, PNG)
//          bits 2-3: which of the format's depths (BMP 0/1/8/24, PNG 0/1/8/8)
//          bit 4:    two threads, else one
//          bits 5-6: max_pixels 2^20, 2^14, 256 or 2^20 (never 0: a bomb
//                    would allocate what it declares)
//          bit 7:    threshold from the second byte, else 90
//   second: the threshold when the first says so
#pragma once

#include <cstdint>

#include "fuzz_support.h"

namespace edgemap::fuzz {

// Converts image with the options the two bytes pick and checks the
// outcome; aborts on a failed check.
void run_image_input(std::uint8_t first, std::uint8_t second,
                     const bytes& image);

}  // namespace edgemap::fuzz
