// The edge detector: every target pixel becomes black (0) where the Sobel
// gradient magnitude of the source's gray levels reaches the threshold, and
// white (255) elsewhere. Pixels outside the image count as gray level 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace edgemap {

// What a kernel writes for each pixel.
enum class edge_output : std::uint8_t {
  // Pixels of bytes_per_pixel bytes: 0 (edge) or 255 in the first three,
  // the source pixel's bytes past the third (alpha, for 32-bit pixels) in
  // the rest.
  picture,
  // One byte per pixel: 1 for an edge, 0 otherwise.
  mask,
};

// Scratch memory one kernel call may use. Callers provide it so that no
// kernel needs more than a little stack.
inline constexpr std::size_t kernel_scratch_bytes = std::size_t{128} << 10;
struct alignas(64) kernel_scratch {
  std::uint8_t bytes[kernel_scratch_bytes];
};

// A source image and the rows of its edge map to compute. Source pixel
// (r, c) starts at src + r * src_stride + c * bytes_per_pixel, for every r
// in [0, height): the rows around the computed ones are read too. Output
// row r (first_row <= r < last_row) starts at
// dst + (r - first_row) * dst_stride. Strides may be negative.
struct pixel_view {
  const std::uint8_t* src;
  std::ptrdiff_t src_stride;
  std::uint32_t width;
  std::uint32_t height;
  std::uint32_t bytes_per_pixel;  // at least 3
  std::uint8_t* dst;
  std::ptrdiff_t dst_stride;
  std::uint32_t first_row;
  std::uint32_t last_row;
  edge_output output;
  kernel_scratch* scratch;  // the reference needs none
};

// Every row of an image whose source and target rows are their strides
// apart (the same stride for both, for a target laid out as its source).
inline pixel_view whole_image(const std::uint8_t* src,
                              std::ptrdiff_t src_stride, std::uint8_t* dst,
                              std::ptrdiff_t dst_stride, std::uint32_t width,
                              std::uint32_t height,
                              std::uint32_t bytes_per_pixel,
                              edge_output output = edge_output::picture,
                              kernel_scratch* scratch = nullptr) noexcept {
  return {src,        src_stride, width,  height, bytes_per_pixel, dst,
          dst_stride, 0,          height, output, scratch};
}

// The literal double-precision detector, kept as the reference every faster
// kernel must match byte for byte.
void detect_edges_reference(const pixel_view& view, double threshold) noexcept;

// A compiled variant of the detector. Every variant writes exactly what the
// reference writes.
struct edge_kernel {
  const char* name;
  void (*run)(const pixel_view& view, double threshold) noexcept;
  bool (*supported)() noexcept;  // whether this processor can run it
};

// Every variant compiled into this build, the reference first, whether or
// not the processor supports it.
std::span<const edge_kernel> edge_kernels() noexcept;

// The variant detect_edges uses on this processor.
const edge_kernel& selected_edge_kernel() noexcept;

// Computes the rows [view.first_row, view.last_row) of the edge map with
// the selected kernel, spread over at most `threads` threads (0: as many as
// pay for the image's size). Nothing between rows is touched. The output
// is the same for every thread count. view.scratch is ignored.
// Returns false, having written nothing, when scratch memory cannot be had.
bool detect_edges_rows(const pixel_view& view, double threshold,
                       unsigned threads) noexcept;

}  // namespace edgemap
