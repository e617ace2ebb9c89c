#include "edges/detect_edges.h"

#include <cstring>

namespace edgemap {
namespace {

constexpr std::uint32_t channels = 3;

// Bytes past the third (alpha, for 32-bit sources) pass through unchanged.
void copy_extra_bytes(const pixel_view& v) noexcept {
  if (v.bytes_per_pixel <= channels) {
    return;
  }
  const std::size_t extra = v.bytes_per_pixel - channels;
  for (std::uint32_t r = 0; r < v.height; ++r) {
    const std::size_t row = std::size_t{r} * v.stride;
    for (std::uint32_t c = 0; c < v.width; ++c) {
      const std::size_t at =
          row + std::size_t{c} * v.bytes_per_pixel + channels;
      std::memcpy(v.dst + at, v.src + at, extra);
    }
  }
}

bool always() noexcept { return true; }

constexpr edge_kernel kernels[] = {
    {"reference", detect_edges_reference, always},
};

}  // namespace

std::span<const edge_kernel> edge_kernels() noexcept { return kernels; }

const edge_kernel& selected_edge_kernel() noexcept {
  // The last supported entry is the fastest.
  static const edge_kernel& chosen = []() -> const edge_kernel& {
    const edge_kernel* best = &kernels[0];
    for (const edge_kernel& k : kernels) {
      if (k.supported()) best = &k;
    }
    return *best;
  }();
  return chosen;
}

std::int32_t detect_edges(image_state& state, double threshold) noexcept {
  if (!state.has_image || state.width == 0 || state.height == 0) {
    return 0;
  }
  const pixel_view view{state.images_s.get(), state.image_t.get(),
                        state.width,          state.height,
                        state.stride,         state.bytes_per_pixel};
  selected_edge_kernel().run(view, threshold);
  copy_extra_bytes(view);
  return 0;
}

}  // namespace edgemap
