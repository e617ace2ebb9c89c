#include "pipeline/edge_sink.h"

#include <cstdlib>

namespace edgemap {

bool byte_output::reserve(std::size_t size) noexcept {
  if (size <= capacity_) return true;
  const std::size_t wanted = size < SIZE_MAX / 3 * 2 ? size + size / 2 : size;
  auto* const grown = static_cast<std::uint8_t*>(std::realloc(memory_, wanted));
  if (grown == nullptr) {
    out_of_memory_ = true;
    return false;
  }
  memory_ = grown;
  capacity_ = wanted;
  return true;
}

void byte_output::write(const void* bytes, std::size_t count) noexcept {
  if (file_ != nullptr) {
    file_->write(bytes, count);
    return;
  }
  if (out_of_memory_ || count == 0) return;
  if (count > SIZE_MAX - at_) {
    out_of_memory_ = true;
    return;
  }
  if (!reserve(at_ + count)) return;
  std::memcpy(memory_ + at_, bytes, count);
  at_ += count;
  end_ = at_ > end_ ? at_ : end_;
}

bool byte_output::seek(std::uint64_t offset) noexcept {
  if (file_ != nullptr) return file_->seek(offset);
  if (out_of_memory_ || offset > SIZE_MAX) return false;
  const auto to = static_cast<std::size_t>(offset);
  if (to > end_) {
    // Memory past the end reads as zeros, as a file's hole would.
    if (!reserve(to)) return false;
    std::memset(memory_ + end_, 0, to - end_);
    end_ = to;
  }
  at_ = to;
  return true;
}

void pack_bits(const std::uint8_t* mask, std::uint32_t width,
               std::uint8_t* out) noexcept {
  // Eight mask bytes of 0 or 1, read little-endian, times this constant:
  // byte i's bit lands at bit 63 - i, and no two products overlap below.
  constexpr std::uint64_t gather = 0x8040201008040201u;
  const std::uint32_t whole = width / 8;
  for (std::uint32_t i = 0; i < whole; ++i) {
    std::uint64_t x = 0;
    std::memcpy(&x, mask + 8 * static_cast<std::size_t>(i), 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    x = __builtin_bswap64(x);
#endif
    out[i] = static_cast<std::uint8_t>(~((x * gather) >> 56));
  }
  const std::uint32_t rest = width % 8;
  if (rest != 0) {
    std::uint8_t last = 0;
    for (std::uint32_t k = 0; k < rest; ++k) {
      if (mask[8 * static_cast<std::size_t>(whole) + k] == 0) {
        last = static_cast<std::uint8_t>(last | (0x80u >> k));
      }
    }
    out[whole] = last;
  }
}

void pack_gray(const std::uint8_t* mask, std::uint32_t width,
               std::uint8_t* out) noexcept {
  for (std::uint32_t i = 0; i < width; ++i) {
    out[i] = static_cast<std::uint8_t>(mask[i] - 1u);
  }
}

void pack_rgb(const std::uint8_t* mask, std::uint32_t width,
              std::uint8_t* out) noexcept {
  for (std::uint32_t i = 0; i < width; ++i) {
    const auto v = static_cast<std::uint8_t>(mask[i] - 1u);
    out[3 * static_cast<std::size_t>(i)] = v;
    out[3 * static_cast<std::size_t>(i) + 1] = v;
    out[3 * static_cast<std::size_t>(i) + 2] = v;
  }
}

}  // namespace edgemap
