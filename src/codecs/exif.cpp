#include "codecs/exif.h"

#include <cstring>

namespace edgemap {
namespace {

constexpr std::uint16_t orientation_tag = 0x0112;
constexpr std::uint16_t type_short = 3;

struct byte_order {
  bool big;
  std::uint16_t u16(const std::uint8_t* p) const noexcept {
    return static_cast<std::uint16_t>(big ? p[0] << 8 | p[1]
                                          : p[1] << 8 | p[0]);
  }
  std::uint32_t u32(const std::uint8_t* p) const noexcept {
    return big ? std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 |
                     std::uint32_t{p[2]} << 8 | p[3]
               : std::uint32_t{p[3]} << 24 | std::uint32_t{p[2]} << 16 |
                     std::uint32_t{p[1]} << 8 | p[0];
  }
};

}  // namespace

std::uint8_t exif_orientation(const std::uint8_t* block,
                              std::size_t size) noexcept {
  if (block == nullptr) return 1;
  if (size >= 6 && std::memcmp(block, "Exif\0\0", 6) == 0) {
    block += 6;
    size -= 6;
  }
  if (size < 8) return 1;
  byte_order order{};
  if (std::memcmp(block, "II*\0", 4) == 0) {
    order.big = false;
  } else if (std::memcmp(block, "MM\0*", 4) == 0) {
    order.big = true;
  } else {
    return 1;
  }
  const std::uint32_t ifd = order.u32(block + 4);
  if (ifd > size - 2) return 1;
  const std::uint16_t entries = order.u16(block + ifd);
  for (std::uint32_t k = 0; k < entries; ++k) {
    const std::uint64_t at = std::uint64_t{ifd} + 2 + std::uint64_t{k} * 12;
    if (at + 12 > size) return 1;
    const std::uint8_t* e = block + at;
    if (order.u16(e) != orientation_tag) continue;
    if (order.u16(e + 2) != type_short || order.u32(e + 4) != 1) return 1;
    const std::uint16_t value = order.u16(e + 8);
    return value >= 1 && value <= 8 ? static_cast<std::uint8_t>(value) : 1;
  }
  return 1;
}

}  // namespace edgemap
