// What the JavaScript side needs beyond the C API it calls directly
// (edgemap_detect, edgemap_detect_mask, edgemap_convert_memory_ex,
// edgemap_options_init, edgemap_strerror, edgemap_version, edgemap_free):
// where the option fields sit, a mask in 0 and 255 for canvases, and the
// decoded pixels of any image the library reads, so that a page decodes a
// file once and redraws its map at every threshold from those pixels.
// None of it is public C API: it exists for this module only.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "edgemap.h"
#include "pipeline/image_source.h"
#include "pipeline/transcode.h"

namespace {

// The offsets JavaScript writes edgemap_options' fields at, after
// edgemap_options_init has filled the struct: the layout is the
// compiler's, so it is asked rather than written down twice.
struct options_layout {
  std::uint32_t size, threshold, threads, format, bits, max_pixels, orient;
};
constexpr options_layout layout = {sizeof(edgemap_options),
                                   offsetof(edgemap_options, threshold),
                                   offsetof(edgemap_options, threads),
                                   offsetof(edgemap_options, format),
                                   offsetof(edgemap_options, bits),
                                   offsetof(edgemap_options, max_pixels),
                                   offsetof(edgemap_options, orient)};

edgemap::status open_any(edgemap::image_kind kind,
                         const edgemap::source_bytes& in,
                         std::uint64_t max_pixels,
                         std::unique_ptr<edgemap::image_source>& out) noexcept {
  switch (kind) {
    case edgemap::image_kind::bmp:
      return edgemap::open_any_bmp_source(in, max_pixels, out);
#if EDGEMAP_HAS_CODECS
    case edgemap::image_kind::png:
      return edgemap::open_png_source(in, max_pixels, out);
    case edgemap::image_kind::jpeg:
      return edgemap::open_jpeg_source(in, max_pixels, out);
    case edgemap::image_kind::tiff:
      return edgemap::open_tiff_source(in, max_pixels, out);
    case edgemap::image_kind::webp:
      return edgemap::open_webp_source(in, max_pixels, out);
#endif
    case edgemap::image_kind::other:
      return edgemap::status::not_image;
    default:
      return edgemap::status::unsupported;
  }
}

}  // namespace

extern "C" {

EDGEMAP_API const options_layout* edgemap_web_options_layout() noexcept {
  return &layout;
}

// edgemap_detect_mask with 255 for an edge instead of 1: one byte, a
// canvas's alpha or gray, without a pass over the mask in JavaScript.
EDGEMAP_API int edgemap_web_mask(const std::uint8_t* src,
                                 std::ptrdiff_t src_stride,
                                 std::uint32_t bytes_per_pixel,
                                 std::uint8_t* mask, std::uint32_t width,
                                 std::uint32_t height,
                                 double threshold) noexcept {
  const int status = edgemap_detect_mask(src, src_stride, bytes_per_pixel, mask,
                                         static_cast<std::ptrdiff_t>(width),
                                         width, height, threshold, 1);
  if (status != EDGEMAP_OK) return status;
  const std::size_t n = std::size_t{width} * height;
  for (std::size_t i = 0; i < n; ++i) {
    mask[i] = static_cast<std::uint8_t>(-mask[i]);
  }
  return status;
}

// edgemap_detect's map as RGBA for any source of 3 or 4 bytes a pixel:
// a 4-byte source's fourth byte is kept (a canvas's alpha), a 3-byte one
// gets 255. dst holds width * height * 4 bytes; the mask is made in its
// last quarter and spread over it in place, front to back (pixel i's
// four bytes end before mask byte i + 1 starts).
EDGEMAP_API int edgemap_web_detect(const std::uint8_t* src,
                                   std::ptrdiff_t src_stride,
                                   std::uint32_t bytes_per_pixel,
                                   std::uint8_t* dst, std::uint32_t width,
                                   std::uint32_t height,
                                   double threshold) noexcept {
  const auto row = static_cast<std::ptrdiff_t>(std::size_t{width} * 4);
  if (bytes_per_pixel == 4) {
    return edgemap_detect(src, src_stride, dst, row, width, height, 4,
                          threshold, 1);
  }
  const std::size_t n = std::size_t{width} * height;
  std::uint8_t* const mask = dst + 3 * n;
  const int status = edgemap_detect_mask(src, src_stride, bytes_per_pixel, mask,
                                         static_cast<std::ptrdiff_t>(width),
                                         width, height, threshold, 1);
  if (status != EDGEMAP_OK) return status;
  for (std::size_t i = 0; i < n; ++i) {
    const auto level = static_cast<std::uint8_t>(mask[i] - 1);
    dst[4 * i] = level;
    dst[4 * i + 1] = level;
    dst[4 * i + 2] = level;
    dst[4 * i + 3] = 255;
  }
  return status;
}

// The pixels of an image as the library decodes them for its edge maps,
// rows top first, as RGBA with alpha 255 (a canvas's layout; the fourth
// byte plays no part in an edge map): *pixels (free with edgemap_free),
// *width and *height. Sources declaring more than max_pixels pixels (0:
// no limit) are refused with EDGEMAP_ERROR_PIXEL_LIMIT, as a conversion
// refuses them. Rows are in the order they are stored: the EXIF
// orientation is not applied.
EDGEMAP_API int edgemap_web_decode(const std::uint8_t* image, std::size_t size,
                                   double max_pixels, std::uint8_t** pixels,
                                   std::uint32_t* width,
                                   std::uint32_t* height) noexcept {
  *pixels = nullptr;
  *width = 0;
  *height = 0;
  const edgemap::image_kind kind = edgemap::sniff_image(image, size);
  edgemap::source_bytes in;
  in.data = image;
  in.size = size;
  std::unique_ptr<edgemap::image_source> src;
  edgemap::status s =
      open_any(kind, in, static_cast<std::uint64_t>(max_pixels), src);
  if (s != edgemap::status::ok) return static_cast<int>(s);
  const std::uint32_t w = src->width();
  const std::uint32_t h = src->height();
  const std::uint32_t bpp = src->bytes_per_pixel();
  const std::size_t row_bytes = std::size_t{w} * bpp;
  auto* const rgba = static_cast<std::uint8_t*>(std::malloc(
      std::size_t{w} * h * 4 + 1));  // + 1: a 0 x 0 image is not NULL
  auto* const row = static_cast<std::uint8_t*>(std::malloc(row_bytes + 1));
  if (rgba == nullptr || row == nullptr) {
    std::free(rgba);
    std::free(row);
    return static_cast<int>(edgemap::status::no_memory);
  }
  // A bitmap's samples are blue, green, red; the other formats' red,
  // green, blue.
  const bool bgr = kind == edgemap::image_kind::bmp;
  const bool bottom_first = src->bottom_first();
  for (std::uint32_t r = 0; r < h && s == edgemap::status::ok; ++r) {
    s = src->read_rows(row, row_bytes, 1);
    if (s != edgemap::status::ok) break;
    std::uint8_t* out =
        rgba + std::size_t{bottom_first ? h - 1 - r : r} * w * 4;
    for (std::uint32_t c = 0; c < w; ++c, out += 4) {
      const std::uint8_t* p = row + std::size_t{c} * bpp;
      out[0] = p[bgr ? 2 : 0];
      out[1] = p[1];
      out[2] = p[bgr ? 0 : 2];
      out[3] = 255;
    }
  }
  std::free(row);
  if (s != edgemap::status::ok) {
    std::free(rgba);
    return static_cast<int>(s);
  }
  *pixels = rgba;
  *width = w;
  *height = h;
  return EDGEMAP_OK;
}

}  // extern "C"
