// edgemap_convert_memory_ex on JPEG sources through libjpeg. The input is
// the two option bytes of image_fuzz.h and the image, whose start of image
// marker is forced so mutations are not spent on other kinds.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "image_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  // Start of image and the first marker's lead byte.
  static constexpr std::uint8_t signature[] = {0xff, 0xd8, 0xff};
  if (size < 2 + sizeof signature) {
    return 0;
  }
  edgemap::fuzz::bytes image(data + 2, data + size);
  std::memcpy(image.data(), signature, sizeof signature);
  edgemap::fuzz::run_image_input(data[0], data[1], image);
  return 0;
}
