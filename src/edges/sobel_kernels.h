// The two 3x3 Sobel operators and the gray level they are applied to.
#pragma once

#include <array>
#include <cstdint>

namespace edgemap {

// Weights of operator q (0: column gradient, 1: row gradient) for the
// neighbour at column offset m and row offset l, each -1, 0 or +1, stored
// at 9 * q + 3 * (m + 1) + (l + 1): column by column of the operators as
// they lie over the image.
inline constexpr std::array<std::int32_t, 18> sobel_kernels = {
    -1, -2, -1, 0,  0, 0, 1,  2, 1,  // first operator
    -1, 0,  1,  -2, 0, 2, -1, 0, 1,  // second operator
};

constexpr std::int32_t sobel_weight(int q, int m, int l) noexcept {
  const int index = 9 * q + 3 * (m + 1) + (l + 1);
  return sobel_kernels[static_cast<std::size_t>(index)];
}

// The truncated mean of a pixel's first three bytes.
constexpr int gray_level(std::uint8_t a, std::uint8_t b,
                         std::uint8_t c) noexcept {
  return (a + b + c) / 3;
}

}  // namespace edgemap
