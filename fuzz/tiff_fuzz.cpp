// edgemap_convert_memory_ex on TIFF sources through libtiff. The input is
// the two option bytes of image_fuzz.h and the image, whose first four
// bytes are forced to a TIFF header (the byte order and the classic or
// BigTIFF version the input asks for, by its first and version bytes) so
// mutations are not spent on other kinds. With the format byte's AUTO the
// target is a TIFF too, read back by libtiff.
#include <cstddef>
#include <cstdint>

#include "image_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < 2 + 8) {
    return 0;
  }
  edgemap::fuzz::bytes image(data + 2, data + size);
  const bool big_endian = image[0] == 'M';
  std::uint8_t& version = image[big_endian ? 3 : 2];
  const std::uint8_t kind = version == 43 ? 43 : 42;
  image[0] = image[1] = big_endian ? 'M' : 'I';
  image[big_endian ? 2 : 3] = 0;
  version = kind;
  edgemap::fuzz::run_image_input(data[0], data[1], image);
  return 0;
}
