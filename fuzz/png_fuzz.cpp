// edgemap_convert_memory_ex on PNG sources through libspng, with options
// from the input's first bytes (image_fuzz.h). Every outcome is a status
// the API documents; a converted image reads back as a well-formed target
// of the depth asked for, the same for one thread as for two and for a BMP
// target as for a PNG one, and never above the pixel limit.
#include <cstddef>
#include <cstdint>

#include "image_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  static constexpr std::uint8_t signature[] = {0x89, 'P',  'N',  'G',
                                               '\r', '\n', 0x1a, '\n'};
  edgemap::fuzz::run_image_input(data, size, signature, sizeof signature);
  return 0;
}
