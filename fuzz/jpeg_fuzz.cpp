// edgemap_convert_memory_ex on JPEG sources through libjpeg, with options
// from the input's first bytes (image_fuzz.h). Every outcome is a status
// the API documents; a converted image reads back as a well-formed target
// of the depth asked for, the same for one thread as for two and for a BMP
// target as for a PNG one, and never above the pixel limit.
#include <cstddef>
#include <cstdint>

#include "image_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  // Start of image and the first marker's lead byte.
  static constexpr std::uint8_t signature[] = {0xff, 0xd8, 0xff};
  edgemap::fuzz::run_image_input(data, size, signature, sizeof signature);
  return 0;
}
