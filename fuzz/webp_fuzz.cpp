// edgemap_convert_memory_ex on WebP sources through libwebp. The input is a
// flag byte, the two option bytes of image_fuzz.h, and the image, whose
// "RIFF" and "WEBP" tags are forced so mutations are not spent on other
// kinds. Flag bit 0 sets the RIFF size to the bytes there are, so that
// chunks added or cut by a mutation are walked rather than refused at the
// RIFF's end; clear, sizes that disagree are fuzzed too.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "image_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  constexpr std::size_t riff_header = 12;
  if (size < 3 + riff_header) {
    return 0;
  }
  edgemap::fuzz::bytes image(data + 3, data + size);
  std::memcpy(image.data(), "RIFF", 4);
  std::memcpy(image.data() + 8, "WEBP", 4);
  if ((data[0] & 1) != 0) {
    const auto riff_size = static_cast<std::uint32_t>(image.size() - 8);
    for (int i = 0; i < 4; ++i) {
      image[4 + static_cast<std::size_t>(i)] =
          static_cast<std::uint8_t>(riff_size >> (8 * i));
    }
  }
  edgemap::fuzz::run_image_input(data[1], data[2], image);
  return 0;
}
