// The edge detector: every target pixel becomes black (0) where the Sobel
// gradient magnitude of the source's grey levels reaches the threshold, and
// white (255) elsewhere. Pixels outside the image count as grey level 0.
#pragma once

#include <cstdint>
#include <span>

#include "bitmap/image_state.h"

namespace edgemap {

// The pixel arrays a kernel works on. Pixel (r, c) starts at
// r * stride + c * bytes_per_pixel in both; kernels write only the first
// three bytes of each target pixel.
struct pixel_view {
  const std::uint8_t* src;
  std::uint8_t* dst;
  std::uint32_t width;
  std::uint32_t height;
  std::uint32_t stride;
  std::uint32_t bytes_per_pixel;  // at least 3
};

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

// Fills state.image_t from state.images_s. Bytes of a pixel beyond the
// third are copied from the source, so 32-bit targets keep their alpha.
// Does nothing without an image. Always returns 0.
std::int32_t detect_edges(image_state& state, double threshold) noexcept;

}  // namespace edgemap
