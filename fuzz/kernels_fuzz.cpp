// Every edge kernel this processor supports against the double-precision
// reference, byte for byte, on small images of arbitrary bytes, sizes,
// pixel widths, thresholds (NaN and infinities included) and layouts
// (picture or mask, rows top-down or bottom-up, padded or packed, all rows
// or a range of them).
//
// Input: width (2 bytes), height, bytes per pixel, threshold mode and
// its bytes, fill mode, base level, amplitude, layout, then the pixel bytes
// (see fill_pixels, make_threshold and read_layout). Each buffer is its own
// exact-size allocation so a kernel that strays past it trips
// AddressSanitizer, and the target starts filled with a marker so a kernel
// that writes a byte the reference leaves alone shows.
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

double nudged(double t, std::uint8_t nudge) {
  const int steps = static_cast<int>(nudge % 9) - 4;
  for (int i = 0; i < steps; ++i) t = std::nextafter(t, INFINITY);
  for (int i = 0; i > steps; --i) t = std::nextafter(t, -INFINITY);
  return t;
}

// The threshold's recipe, read before the pixels and applied after them.
struct threshold_recipe {
  std::uint8_t mode;
  std::uint64_t value;  // bits, an integer or a pixel index, by mode
  std::uint8_t nudge;
};

threshold_recipe read_threshold(reader& in) {
  threshold_recipe t{in.byte(), 0, 0};
  switch (t.mode % 4) {
    case 0:
      t.value = in.bytes(8);
      break;
    case 1:
      t.value = in.bytes(3) & 0x3FFFFF;
      t.nudge = in.byte();
      break;
    case 2:
      t.value = in.bytes(2);
      break;
    default:
      t.value = in.bytes(2);
      t.nudge = in.byte();
      break;
  }
  return t;
}

// gx^2 + gy^2 of pixel (i, j), in integers, with gray level 0 outside.
std::uint32_t gradient_sum(const pixel_view& v, std::uint32_t i,
                           std::uint32_t j) {
  auto gray = [&v](std::int64_t r, std::int64_t c) -> int {
    if (r < 0 || c < 0 || r >= v.height || c >= v.width) return 0;
    const std::uint8_t* p = v.src +
                            static_cast<std::ptrdiff_t>(r) * v.src_stride +
                            static_cast<std::size_t>(c) * v.bytes_per_pixel;
    return (p[0] + p[1] + p[2]) / 3;
  };
  const std::int64_t r = i;
  const std::int64_t c = j;
  const int gx = gray(r - 1, c + 1) + 2 * gray(r, c + 1) + gray(r + 1, c + 1) -
                 gray(r - 1, c - 1) - 2 * gray(r, c - 1) - gray(r + 1, c - 1);
  const int gy = gray(r + 1, c - 1) + 2 * gray(r + 1, c) + gray(r + 1, c + 1) -
                 gray(r - 1, c - 1) - 2 * gray(r - 1, c) - gray(r - 1, c + 1);
  return static_cast<std::uint32_t>(gx * gx + gy * gy);
}

// Thresholds: any double from the input's bits; the square root of an
// integer nudged by a few ulps either way, where a kernel that compares
// squared magnitudes or rounds the threshold would part from the
// reference; a small integer; or the magnitude of one of the image's own
// pixels, nudged, so that pixel sits right at the threshold.
double make_threshold(const threshold_recipe& t, const pixel_view& v) {
  switch (t.mode % 4) {
    case 0: {
      double d;
      std::memcpy(&d, &t.value, sizeof d);
      return d;
    }
    case 1: {
      const double d = nudged(std::sqrt(static_cast<double>(t.value)), t.nudge);
      return (t.mode & 8) != 0 ? -d : d;
    }
    case 2:
      return static_cast<double>(static_cast<std::int16_t>(t.value));
    default: {
      const std::uint64_t at = t.value % (std::uint64_t{v.width} * v.height);
      const auto i = static_cast<std::uint32_t>(at / v.width);
      const auto j = static_cast<std::uint32_t>(at % v.width);
      return nudged(std::sqrt(static_cast<double>(gradient_sum(v, i, j))),
                    t.nudge);
    }
  }
}

// Pixel bytes: the input's own, repeated; or noise around a base level
// with a chosen amplitude, from a generator started from the input's bytes,
// so that even a short input gives a full image whose gradients range
// from flat to steep.
void fill_pixels(std::uint8_t* dst, std::size_t n, std::uint8_t fill,
                 std::uint8_t base, std::uint8_t amplitude,
                 const std::uint8_t* rest, std::size_t rest_size) {
  if (fill % 2 == 0) {
    for (std::size_t i = 0; i < n; ++i) {
      dst[i] = rest_size == 0 ? 0 : rest[i % rest_size];
    }
    return;
  }
  std::uint64_t state = 0x9E3779B97F4A7C15u;
  for (std::size_t i = 0; i < rest_size; ++i) {
    state = (state ^ rest[i]) * 0x100000001B3u;
  }
  for (std::size_t i = 0; i < n; ++i) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    const auto spread = static_cast<std::uint32_t>(state >> 32) %
                        (std::uint32_t{amplitude} + 1);
    dst[i] = static_cast<std::uint8_t>(base + spread);
  }
}

// How the kernels are called, from one byte: bit 0 mask output, bits 1
// and 2 source and target rows bottom-up, bit 3 source rows packed without
// padding (the last one then ends at the buffer's end), bits 4..7 the rows
// to compute.
struct layout {
  edge_output output;
  bool src_bottom_up, dst_bottom_up, packed;
  std::uint32_t first_row, last_row;
};

layout read_layout(std::uint8_t bits, std::uint32_t height) {
  layout l{(bits & 1) != 0 ? edge_output::mask : edge_output::picture,
           (bits & 2) != 0,
           (bits & 4) != 0,
           (bits & 8) != 0,
           0,
           height};
  const std::uint32_t rows = bits >> 4;
  l.first_row = (rows >> 2) % height;
  l.last_row = height - (rows & 3) % (height - l.first_row);
  return l;
}

// A view of rows that run `bottom_up` or not through a buffer.
template <class T>
T* first_row_of(T* buffer, std::size_t stride, std::uint32_t rows,
                bool bottom_up) {
  return bottom_up ? buffer + stride * (rows - 1) : buffer;
}

std::ptrdiff_t signed_stride(std::size_t stride, bool bottom_up) {
  const auto s = static_cast<std::ptrdiff_t>(stride);
  return bottom_up ? -s : s;
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
  const threshold_recipe recipe = read_threshold(in);
  const std::uint8_t fill = in.byte();
  const std::uint8_t base = in.byte();
  const std::uint8_t amplitude = in.byte();
  const layout l = read_layout(in.byte(), height);

  const std::size_t row_bytes = std::size_t{width} * bytes_per_pixel;
  const std::size_t stride =
      l.packed ? row_bytes : (row_bytes + 3) & ~std::size_t{3};
  const std::size_t n = stride * height;
  const auto src = std::make_unique<std::uint8_t[]>(n);
  const std::size_t rest = size - std::min(size, in.at);
  fill_pixels(src.get(), n, fill, base, amplitude, data + in.at, rest);
  pixel_view v{};
  v.src = first_row_of<const std::uint8_t>(src.get(), stride, height,
                                           l.src_bottom_up);
  v.src_stride = signed_stride(stride, l.src_bottom_up);
  v.width = width;
  v.height = height;
  v.bytes_per_pixel = bytes_per_pixel;
  v.first_row = l.first_row;
  v.last_row = l.last_row;
  v.output = l.output;
  const double threshold = make_threshold(recipe, v);

  // Targets a few bytes wider than their pixels, so bytes between rows show.
  const std::size_t out_stride =
      (l.output == edge_output::mask ? width : row_bytes) + 3;
  const std::uint32_t out_rows = l.last_row - l.first_row;
  const std::size_t out_size = out_stride * out_rows;
  auto target = [&](std::uint8_t* buffer, kernel_scratch* scratch) {
    std::memset(buffer, marker, out_size);
    pixel_view t = v;
    t.dst = first_row_of(buffer, out_stride, out_rows, l.dst_bottom_up);
    t.dst_stride = signed_stride(out_stride, l.dst_bottom_up);
    t.scratch = scratch;
    return t;
  };

  const auto expected = std::make_unique<std::uint8_t[]>(out_size);
  detect_edges_reference(target(expected.get(), nullptr), threshold);

  const auto scratch = std::make_unique<kernel_scratch>();
  // Every variant but the reference, which is what they are checked with.
  for (const edge_kernel& k : edge_kernels().subspan(1)) {
    if (!k.supported()) continue;
    const auto got = std::make_unique<std::uint8_t[]>(out_size);
    k.run(target(got.get(), scratch.get()), threshold);
    if (std::memcmp(got.get(), expected.get(), out_size) != 0) {
      (void)std::fprintf(stderr,
                         "kernel %s differs: width %u height %u bytes per "
                         "pixel %u threshold %.17g %s rows %u..%u\n",
                         k.name, width, height, bytes_per_pixel, threshold,
                         l.output == edge_output::mask ? "mask" : "picture",
                         l.first_row, l.last_row);
      fuzz::fail("a kernel differs from the reference");
    }
  }
  return 0;
}
