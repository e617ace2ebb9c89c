// The target's pixel array, computed and written a band of rows at a time:
// the memory it takes is a few MiB whatever the image's size, and the
// band stays in the cache between being computed and being written.
#include <cstring>

#include "bitmap/bitmap_io.h"
#include "edges/detect_edges.h"

namespace edgemap {
namespace {

// Rows [lo, hi) of a source read from a stream, row lo at the start of the
// window. Bands move down the image, so each step keeps the two rows the
// next band shares with the last one and reads the rest.
class streamed_rows {
 public:
  streamed_rows(std::FILE* f, std::uint8_t* window, const bitmap_layout& l)
      : f_(f), window_(window), l_(l) {}

  // Makes rows [from, to) available, from never below the last call's.
  // False when the stream ends before them (the file shrank).
  bool hold(std::uint32_t from, std::uint32_t to) noexcept {
    const std::size_t stride = l_.stride;
    const std::uint32_t kept = hi_ > from ? hi_ - from : 0;
    if (kept != 0 && from != lo_) {
      std::memmove(window_, window_ + (from - lo_) * stride, kept * stride);
    }
    lo_ = from;
    std::uint8_t* const fresh = window_ + kept * stride;
    const std::size_t bytes = (to - from - kept) * stride;
    // The last row's padding may be missing from the file.
    const std::size_t required =
        bytes - (to == l_.height ? l_.stride - l_.row_bytes() : 0);
    const std::size_t got = bytes == 0 ? 0 : std::fread(fresh, 1, bytes, f_);
    if (got < required) {
      return false;
    }
    std::memset(fresh + got, 0, bytes - got);
    hi_ = to;
    return true;
  }

  const std::uint8_t* rows() const noexcept { return window_; }
  std::uint32_t lo() const noexcept { return lo_; }
  std::uint32_t hi() const noexcept { return hi_; }

 private:
  std::FILE* f_;
  std::uint8_t* window_;
  const bitmap_layout& l_;
  std::uint32_t lo_ = 0;
  std::uint32_t hi_ = 0;
};

}  // namespace

std::uint32_t band_rows(std::uint32_t stride, std::uint32_t height) noexcept {
  std::uint32_t rows = stride == 0 ? band_bytes : band_bytes / stride;
  rows = rows < height ? rows : height;
  return rows == 0 ? 1 : rows;
}

status write_edge_map(target_file& target, const std::uint8_t* header,
                      const bitmap_layout& l, const row_source& rows,
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
  const bool streamed = edges && rows.pixels == nullptr;
  if (streamed && !rows.window->reserve((std::size_t{per_band} + 2) * stride)) {
    return status::no_memory;
  }
  std::uint8_t* const window_bytes =
      rows.window != nullptr ? rows.window->get() : nullptr;
  streamed_rows window(rows.stream, window_bytes, l);
  const std::size_t pad = stride - l.row_bytes();
  for (std::uint32_t r0 = 0; r0 < l.height && !target.failed();) {
    const std::uint32_t n = l.height - r0 < per_band ? l.height - r0 : per_band;
    const std::uint32_t r1 = r0 + n;
    std::uint8_t* const out = band.get();
    if (!edges) {
      std::memset(out, 0, n * stride);
    } else {
      pixel_view v{};
      if (streamed) {
        if (!window.hold(r0 == 0 ? 0 : r0 - 1,
                         r1 == l.height ? l.height : r1 + 1)) {
          return status::truncated;
        }
        v.src = window.rows();
        v.height = window.hi() - window.lo();
        v.first_row = r0 - window.lo();
      } else {
        v.src = rows.pixels;
        v.height = l.height;
        v.first_row = r0;
      }
      v.last_row = v.first_row + n;
      v.src_stride = static_cast<std::ptrdiff_t>(stride);
      v.width = l.width;
      v.bytes_per_pixel = l.bytes_per_pixel;
      v.dst = out;
      v.dst_stride = static_cast<std::ptrdiff_t>(stride);
      v.output = edge_output::picture;
      if (!detect_edges_rows(v, threshold, threads)) {
        return status::no_memory;
      }
      if (pad != 0) {
        for (std::uint32_t i = 0; i < n; ++i) {
          std::memset(out + i * stride + l.row_bytes(), 0, pad);
        }
      }
    }
    target.write(out, n * stride);
    r0 = r1;
  }
  return status::ok;
}

}  // namespace edgemap
