// edgemap_convert_memory_ex on PNG sources through libspng. The input is a
// flag byte, the two option bytes of image_fuzz.h, and the image, whose
// signature is forced so mutations are not spent on other kinds. Flag bit 0
// rewrites every whole chunk's CRC, so mutated chunks reach the decoder
// instead of stopping at the CRC check; clear, CRC errors are fuzzed too.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "image_fuzz.h"

namespace {

std::uint32_t crc32(const std::uint8_t* data, std::size_t size) {
  std::uint32_t crc = 0xffffffffu;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) {
      crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
  }
  return ~crc;
}

std::uint32_t u32_be(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 |
         std::uint32_t{p[2]} << 8 | p[3];
}

// Chunks follow the signature: length, type, data, CRC of type and data.
void repair_crcs(edgemap::fuzz::bytes& png) {
  std::size_t at = 8;
  while (png.size() - at >= 12) {
    const std::uint32_t length = u32_be(png.data() + at);
    if (length > png.size() - at - 12) {
      break;
    }
    std::uint8_t* crc = png.data() + at + 8 + length;
    const std::uint32_t v = crc32(png.data() + at + 4, 4 + std::size_t{length});
    crc[0] = static_cast<std::uint8_t>(v >> 24);
    crc[1] = static_cast<std::uint8_t>(v >> 16);
    crc[2] = static_cast<std::uint8_t>(v >> 8);
    crc[3] = static_cast<std::uint8_t>(v);
    at += 12 + std::size_t{length};
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  static constexpr std::uint8_t signature[] = {0x89, 'P',  'N',  'G',
                                               '\r', '\n', 0x1a, '\n'};
  if (size < 3 + sizeof signature) {
    return 0;
  }
  edgemap::fuzz::bytes image(data + 3, data + size);
  std::memcpy(image.data(), signature, sizeof signature);
  if ((data[0] & 1) != 0) {
    repair_crcs(image);
  }
  edgemap::fuzz::run_image_input(data[1], data[2], image);
  return 0;
}
