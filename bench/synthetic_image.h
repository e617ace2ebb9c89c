// A deterministic test picture for the benchmarks: shaded discs and bars
// with hard edges over a gradient, plus noise, so that the detector meets
// both real edges and the speckle of a photograph.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace edgemap::bench {

// stride * height bytes, 3 bytes per pixel, rows padded to 4 bytes with 0.
inline std::vector<std::uint8_t> synthetic_image(std::uint32_t width,
                                                 std::uint32_t height,
                                                 std::uint32_t stride) {
  std::vector<std::uint8_t> pixels(std::size_t{stride} * height, 0);
  std::uint32_t state = 0x2545F491u;
  auto noise = [&state]() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return static_cast<int>(state % 25) - 12;
  };
  const std::int64_t w = width, h = height;
  for (std::int64_t r = 0; r < h; ++r) {
    std::uint8_t* row = pixels.data() + static_cast<std::size_t>(r) * stride;
    for (std::int64_t c = 0; c < w; ++c) {
      int base = static_cast<int>(40 + 120 * c / (w + 1) + 40 * r / (h + 1));
      // Discs on a grid of w/8 x h/6 cells.
      const std::int64_t cw = w / 8 + 1, ch = h / 6 + 1;
      const std::int64_t dx = c % cw - cw / 2, dy = r % ch - ch / 2;
      const std::int64_t radius = (cw < ch ? cw : ch) / 3;
      if (dx * dx + dy * dy < radius * radius) base += 70;
      // Vertical bars.
      if ((c / (w / 16 + 1)) % 5 == 2) base -= 35;
      for (int b = 0; b < 3; ++b) {
        int v = base + noise() + 10 * b;
        v = v < 0 ? 0 : v > 255 ? 255 : v;
        row[static_cast<std::size_t>(c) * 3 + static_cast<std::size_t>(b)] =
            static_cast<std::uint8_t>(v);
      }
    }
  }
  return pixels;
}

}  // namespace edgemap::bench
