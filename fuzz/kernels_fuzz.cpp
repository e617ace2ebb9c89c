// Every edge kernel this processor supports against the double-precision
// reference, byte for byte, on small images of arbitrary bytes, sizes,
// pixel widths and thresholds (NaN and infinities included).
//
// Input: width (2 bytes), height, bytes per pixel, threshold mode, then
// the threshold's bytes and the pixel bytes, which repeat to fill the
// image. Each buffer is its own exact-size allocation so a kernel that
// strays past it trips AddressSanitizer, and the target starts filled with
// a marker so a kernel that writes a byte the reference leaves alone shows.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "edges/detect_edges.h"
#include "fuzz_support.h"

using namespace edgemap;

namespace {

constexpr std::uint32_t max_width = 300;
constexpr std::uint32_t max_height = 12;
constexpr std::uint8_t marker = 0xA5;

struct reader {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;

  std::uint8_t byte() { return at < size ? data[at++] : 0; }
  std::uint64_t bytes(int n) {
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i) v |= std::uint64_t{byte()} << (8 * i);
    return v;
  }
};

// Thresholds: any double from the input's bits; the square root of an
// integer nudged by a few ulps either way, where a kernel that compares
// squared magnitudes would part from the reference; or a small integer.
double threshold_from(reader& in) {
  const std::uint8_t mode = in.byte();
  switch (mode % 3) {
    case 0: {
      const std::uint64_t bits = in.bytes(8);
      double t;
      std::memcpy(&t, &bits, sizeof t);
      return t;
    }
    case 1: {
      double t = std::sqrt(static_cast<double>(in.bytes(3) & 0x3FFFFF));
      const int nudge = static_cast<int>(in.byte() % 9) - 4;
      for (int i = 0; i < nudge; ++i) t = std::nextafter(t, INFINITY);
      for (int i = 0; i > nudge; --i) t = std::nextafter(t, -INFINITY);
      return (mode & 8) != 0 ? -t : t;
    }
    default:
      return static_cast<double>(static_cast<std::int16_t>(in.bytes(2)));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  reader in{data, size};
  const auto width = static_cast<std::uint32_t>(in.bytes(2) % max_width + 1);
  const std::uint32_t height = in.byte() % max_height + 1;
  const std::uint8_t bpp_byte = in.byte();
  // Mostly 3 and 4 bytes per pixel, the loader's common cases.
  const std::uint32_t bytes_per_pixel = bpp_byte < 128   ? 3
                                        : bpp_byte < 224 ? 4
                                                         : 3 + bpp_byte % 6;
  const double threshold = threshold_from(in);

  const std::uint32_t stride = (width * bytes_per_pixel + 3) & ~3u;
  const std::size_t n = std::size_t{stride} * height;
  const auto src = std::make_unique<std::uint8_t[]>(n);
  const std::size_t pixels = size - std::min(size, in.at);
  for (std::size_t i = 0; i < n; ++i) {
    src[i] = pixels == 0 ? 0 : data[in.at + i % pixels];
  }
  const auto expected = std::make_unique<std::uint8_t[]>(n);
  std::memset(expected.get(), marker, n);
  detect_edges_reference(
      {src.get(), expected.get(), width, height, stride, bytes_per_pixel},
      threshold);

  for (const edge_kernel& k : edge_kernels()) {
    if (!k.supported()) continue;
    const auto got = std::make_unique<std::uint8_t[]>(n);
    std::memset(got.get(), marker, n);
    k.run({src.get(), got.get(), width, height, stride, bytes_per_pixel},
          threshold);
    if (std::memcmp(got.get(), expected.get(), n) != 0) {
      (void)std::fprintf(stderr,
                         "kernel %s differs: width %u height %u bytes per "
                         "pixel %u threshold %.17g\n",
                         k.name, width, height, bytes_per_pixel, threshold);
      fuzz::fail("a kernel differs from the reference");
    }
  }
  return 0;
}
