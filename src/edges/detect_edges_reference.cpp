#include <cmath>

#include "edges/detect_edges.h"
#include "edges/sobel_kernels.h"

namespace edgemap {
namespace {

constexpr std::uint8_t black = 0;
constexpr std::uint8_t white = 255;

}  // namespace

void detect_edges_reference(const pixel_view& v, double threshold) noexcept {
  for (std::uint32_t i = v.first_row; i < v.last_row; ++i) {
    std::uint8_t* const row =
        v.dst + static_cast<std::ptrdiff_t>(i - v.first_row) * v.dst_stride;
    for (std::uint32_t j = 0; j < v.width; ++j) {
      double response[2];
      for (int q = 0; q < 2; ++q) {
        double accumulator = 0.0;
        for (int l = -1; l <= 1; ++l) {
          // Unsigned wrap-around sends the neighbour at -1 beyond the
          // image, like the neighbour at width or height.
          const std::uint32_t k = i + static_cast<std::uint32_t>(l);
          for (int m = -1; m <= 1; ++m) {
            const std::uint32_t c = j + static_cast<std::uint32_t>(m);
            if (c >= v.width || k >= v.height) {
              continue;
            }
            const std::uint8_t* p =
                v.src + static_cast<std::ptrdiff_t>(k) * v.src_stride +
                std::size_t{c} * v.bytes_per_pixel;
            const int g = gray_level(p[2], p[1], p[0]);
            accumulator =
                static_cast<double>(g * sobel_weight(q, m, l)) + accumulator;
          }
        }
        response[q] = accumulator;
      }
      double sum = 0.0;
      sum = response[0] * response[0] + sum;
      sum = response[1] * response[1] + sum;
      const double difference = std::sqrt(sum) - threshold;
      if (v.output == edge_output::mask) {
        row[j] = difference >= 0.0 ? 1 : 0;
        continue;
      }
      const std::uint8_t level = difference >= 0.0 ? black : white;
      std::uint8_t* t = row + std::size_t{j} * v.bytes_per_pixel;
      t[2] = level;
      t[1] = level;
      t[0] = level;
      const std::uint8_t* s = v.src +
                              static_cast<std::ptrdiff_t>(i) * v.src_stride +
                              std::size_t{j} * v.bytes_per_pixel;
      for (std::uint32_t b = 3; b < v.bytes_per_pixel; ++b) {
        t[b] = s[b];
      }
    }
  }
}

}  // namespace edgemap
