// make_bmp WIDTH HEIGHT PATH: writes the benchmarks' synthetic picture as a
// 24-bit bitmap with the standard 54-byte header.
#include <cstdio>
#include <cstdlib>

#include "bitmap/bitmap_header.h"
#include "synthetic_image.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    (void)std::fputs("usage: make_bmp WIDTH HEIGHT PATH\n", stderr);
    return 2;
  }
  const auto width =
      static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10));
  const auto height =
      static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
  const std::uint32_t stride = (3 * width + 3) & ~3u;
  const auto pixels = edgemap::bench::synthetic_image(width, height, stride);
  auto header = edgemap::initial_bmp_header();
  edgemap::write_u32_le(header.data() + edgemap::offset_bf_size,
                        static_cast<std::uint32_t>(54 + pixels.size()));
  edgemap::write_u32_le(header.data() + edgemap::offset_bi_width, width);
  edgemap::write_u32_le(header.data() + edgemap::offset_bi_height, height);
  std::FILE* f = std::fopen(argv[3], "wb");
  if (f == nullptr) {
    std::perror(argv[3]);
    return 1;
  }
  const bool ok =
      std::fwrite(header.data(), 1, header.size(), f) == header.size() &&
      std::fwrite(pixels.data(), 1, pixels.size(), f) == pixels.size();
  return std::fclose(f) == 0 && ok ? 0 : 1;
}
