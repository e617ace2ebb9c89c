// The legacy entry's target: its pixel array computed from the image the
// entry holds in memory and written a band of rows at a time, so that the
// band stays in the cache between being computed and being written.
#include <cstring>

#include "bitmap/bitmap_io.h"
#include "edges/detect_edges.h"

namespace edgemap {

std::uint32_t band_rows(std::uint32_t stride, std::uint32_t height) noexcept {
  std::uint32_t rows = stride == 0 ? band_bytes : band_bytes / stride;
  rows = rows < height ? rows : height;
  return rows == 0 ? 1 : rows;
}

status write_edge_map(target_file& target, const std::uint8_t* header,
                      const bitmap_layout& l, const std::uint8_t* pixels,
                      bool edges, double threshold, unsigned threads,
                      pixel_buffer& band) noexcept {
  target.write(header, header_size);
  if (l.pixel_bytes == 0) {
    return status::ok;
  }
  const std::uint32_t per_band = band_rows(l.stride, l.height);
  const std::size_t stride = l.stride;
  if (!band.reserve(std::size_t{per_band} * stride)) {
    return status::no_memory;
  }
  for (std::uint32_t r0 = 0; r0 < l.height && !target.failed();) {
    const std::uint32_t n = l.height - r0 < per_band ? l.height - r0 : per_band;
    if (!edges) {
      std::memset(band.get(), 0, n * stride);
    } else {
      pixel_view v =
          whole_image(pixels, static_cast<std::ptrdiff_t>(stride), band.get(),
                      static_cast<std::ptrdiff_t>(stride), l.width, l.height,
                      l.bytes_per_pixel);
      v.first_row = r0;
      v.last_row = r0 + n;
      if (!detect_edges_rows(v, threshold, threads)) return status::no_memory;
      zero_row_padding(band.get(), n, l);
    }
    target.write(band.get(), n * stride);
    r0 += n;
  }
  return status::ok;
}

}  // namespace edgemap
