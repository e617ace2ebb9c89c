// The reentrant C API: argument checks and status codes over the core.
// Nothing here prints, keeps state between calls or takes a lock.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "edgemap.h"
#include "edges/detect_edges.h"
#include "pipeline/transcode.h"

#ifdef _WIN32
#include "platform/paths.h"
#endif

namespace {

using edgemap::status;

int code(status s) noexcept { return static_cast<int>(s); }

std::uint64_t magnitude(std::ptrdiff_t stride) noexcept {
  return stride < 0 ? 0 - static_cast<std::uint64_t>(stride)
                    : static_cast<std::uint64_t>(stride);
}

// The bytes an image's rows occupy, from the first byte of its lowest row
// in memory to the last byte of its highest one.
struct extent {
  std::uintptr_t begin;
  std::uintptr_t end;
};

// False when the rows cannot all exist in one address space.
bool extent_of(const std::uint8_t* base, std::ptrdiff_t stride,
               std::uint32_t height, std::uint64_t row_bytes,
               extent& out) noexcept {
  const std::uint64_t step = magnitude(stride);
  const std::uint64_t rows_after_first = height - 1u;
  if (rows_after_first != 0 && step > PTRDIFF_MAX / rows_after_first) {
    return false;
  }
  const std::uint64_t span = step * rows_after_first;
  if (span > PTRDIFF_MAX - row_bytes) {
    return false;
  }
  const auto at = reinterpret_cast<std::uintptr_t>(base);
  out.begin = stride < 0 ? at - static_cast<std::uintptr_t>(span) : at;
  out.end = out.begin + static_cast<std::uintptr_t>(span + row_bytes);
  return true;
}

// Both detectors in one, in edgemap_detect_mask's argument order; the two
// public orders stay as the ABI has them (see edgemap_detect below).
// NOLINTBEGIN(bugprone-easily-swappable-parameters)
int detect(const std::uint8_t* src, std::ptrdiff_t src_stride,
           std::uint32_t bytes_per_pixel, std::uint8_t* dst,
           std::ptrdiff_t dst_stride, std::uint32_t width, std::uint32_t height,
           double threshold, unsigned threads,
           edgemap::edge_output output) noexcept {
  if (width == 0 || height == 0) {
    return EDGEMAP_OK;
  }
  if (src == nullptr || dst == nullptr || bytes_per_pixel < 3 ||
      bytes_per_pixel > PTRDIFF_MAX / width) {
    return EDGEMAP_ERROR_ARGUMENT;
  }
  const std::uint64_t src_row = std::uint64_t{bytes_per_pixel} * width;
  const std::uint64_t dst_row =
      output == edgemap::edge_output::mask ? width : src_row;
  extent s{};
  extent d{};
  if (magnitude(src_stride) < src_row || magnitude(dst_stride) < dst_row ||
      !extent_of(src, src_stride, height, src_row, s) ||
      !extent_of(dst, dst_stride, height, dst_row, d) ||
      (s.begin < d.end && d.begin < s.end)) {
    return EDGEMAP_ERROR_ARGUMENT;
  }
  const edgemap::pixel_view v = edgemap::whole_image(
      src, src_stride, dst, dst_stride, width, height, bytes_per_pixel, output);
  return edgemap::detect_edges_rows(v, threshold, threads)
             ? EDGEMAP_OK
             : EDGEMAP_ERROR_NO_MEMORY;
}
// NOLINTEND(bugprone-easily-swappable-parameters)

// The caller's options as the core's; false for a struct this version
// cannot read or values it does not take.
bool options_of(const edgemap_options* given,
                edgemap::transcode_options& out) noexcept {
  if (given == nullptr) return true;
  // Larger is refused too: the fields past ours were set by a caller who
  // counts on them, and this version would silently do without them.
  // 1.2's struct ended at max_pixels.
  const bool v1_2 = given->size == offsetof(edgemap_options, orient);
  if (given->size != sizeof(edgemap_options) && !v1_2) return false;
  out.orient = !v1_2 && given->orient != 0;
  out.threshold = given->threshold;
  out.threads = given->threads;
  out.bits = given->bits;
  out.max_pixels = given->max_pixels;
  switch (given->format) {
    case EDGEMAP_FORMAT_AUTO:
      out.format = edgemap::target_format::automatic;
      break;
    case EDGEMAP_FORMAT_BMP:
      out.format = edgemap::target_format::bmp;
      break;
    case EDGEMAP_FORMAT_PNG:
      out.format = edgemap::target_format::png;
      break;
    case EDGEMAP_FORMAT_TIFF:
      out.format = edgemap::target_format::tiff;
      break;
    default:
      return false;
  }
  return out.bits == 0 || out.bits == 1 || out.bits == 8 || out.bits == 24;
}

#ifdef _WIN32
// Runs convert on the UTF-8 forms of two UTF-16 paths.
template <typename Convert>
int with_utf8_paths(const wchar_t* source, const wchar_t* target,
                    const Convert& convert) noexcept {
  if (source == nullptr || target == nullptr) {
    return EDGEMAP_ERROR_ARGUMENT;
  }
  const auto narrow_source = edgemap::utf16_to_utf8(source);
  const auto narrow_target = edgemap::utf16_to_utf8(target);
  if (!narrow_source || !narrow_target) {
    return EDGEMAP_ERROR_NO_MEMORY;
  }
  return convert(narrow_source.get(), narrow_target.get());
}
#endif

}  // namespace

extern "C" {

EDGEMAP_API const char* edgemap_version(void) noexcept {
  return EDGEMAP_VERSION;
}

EDGEMAP_API const char* edgemap_strerror(int status_code) noexcept {
  switch (status_code) {
    case EDGEMAP_OK:
      return "success";
    case EDGEMAP_ERROR_OPEN_SOURCE:
      return "the source cannot be opened";
    case EDGEMAP_ERROR_HEADER:
      return "the source is too short to be a bitmap";
    case EDGEMAP_ERROR_BIT_COUNT:
      return "the source has fewer than 24 bits per pixel";
    case EDGEMAP_ERROR_TOO_LARGE:
      return "the source's pixel array is too large";
    case EDGEMAP_ERROR_NO_MEMORY:
      return "out of memory";
    case EDGEMAP_ERROR_TRUNCATED:
      return "the source is shorter than its pixel array";
    case EDGEMAP_ERROR_OPEN_TARGET:
      return "the target cannot be created";
    case EDGEMAP_ERROR_WRITE:
      return "the target cannot be written completely";
    case EDGEMAP_ERROR_ARGUMENT:
      return "invalid argument";
    case EDGEMAP_ERROR_UNSUPPORTED:
      return "the image's format or colour space is not supported";
    case EDGEMAP_ERROR_PIXEL_LIMIT:
      return "the image has more pixels than the limit allows";
    case EDGEMAP_ERROR_CORRUPT:
      return "the image's compressed data is corrupt or cut short";
    case EDGEMAP_ERROR_NOT_IMAGE:
      return "the source is not a BMP, PNG, JPEG, TIFF or WebP image";
    case EDGEMAP_ERROR_TARGET_TOO_LARGE:
      return "the edge map is too large for the target format";
    default:
      return "unknown status code";
  }
}

// The two detectors take their arguments in different orders (edgemap.h
// shows them side by side). Both are the ABI and stay; the check stands for
// every function added after them.
// NOLINTBEGIN(bugprone-easily-swappable-parameters)
EDGEMAP_API int edgemap_detect(const std::uint8_t* src,
                               std::ptrdiff_t src_stride, std::uint8_t* dst,
                               std::ptrdiff_t dst_stride, std::uint32_t width,
                               std::uint32_t height,
                               std::uint32_t bytes_per_pixel, double threshold,
                               unsigned threads) noexcept {
  return detect(src, src_stride, bytes_per_pixel, dst, dst_stride, width,
                height, threshold, threads, edgemap::edge_output::picture);
}

EDGEMAP_API int edgemap_detect_mask(
    const std::uint8_t* src, std::ptrdiff_t src_stride,
    std::uint32_t bytes_per_pixel, std::uint8_t* mask,
    std::ptrdiff_t mask_stride, std::uint32_t width, std::uint32_t height,
    double threshold, unsigned threads) noexcept {
  return detect(src, src_stride, bytes_per_pixel, mask, mask_stride, width,
                height, threshold, threads, edgemap::edge_output::mask);
}
// NOLINTEND(bugprone-easily-swappable-parameters)

EDGEMAP_API int edgemap_convert_file(const char* source, const char* target,
                                     double threshold,
                                     unsigned threads) noexcept {
  if (source == nullptr || target == nullptr) {
    return EDGEMAP_ERROR_ARGUMENT;
  }
  const edgemap::conversion c =
      edgemap::convert_file(source, {target, nullptr}, threshold, threads,
                            edgemap::on_refused_source::keep_target);
  if (c.failure() != status::ok) errno = c.error;
  return code(c.failure());
}

#ifdef _WIN32
EDGEMAP_API int edgemap_convert_file_w(const wchar_t* source,
                                       const wchar_t* target, double threshold,
                                       unsigned threads) noexcept {
  return with_utf8_paths(source, target, [&](const char* s, const char* t) {
    return edgemap_convert_file(s, t, threshold, threads);
  });
}
#endif

EDGEMAP_API int edgemap_convert_memory(const void* bitmap, std::size_t size,
                                       void** out, std::size_t* out_size,
                                       double threshold,
                                       unsigned threads) noexcept {
  if (out == nullptr || out_size == nullptr) {
    return EDGEMAP_ERROR_ARGUMENT;
  }
  *out = nullptr;
  *out_size = 0;
  if (bitmap == nullptr && size != 0) {
    return EDGEMAP_ERROR_ARGUMENT;
  }
  static const std::uint8_t nothing = 0;
  const auto* bytes =
      bitmap != nullptr ? static_cast<const std::uint8_t*>(bitmap) : &nothing;
  return code(edgemap::convert_to_memory(bytes, size, out, out_size, threshold,
                                         threads));
}

EDGEMAP_API void edgemap_options_init(edgemap_options* options) noexcept {
  if (options == nullptr) return;
  const edgemap::transcode_options defaults;
  *options = edgemap_options{};
  options->size = sizeof(edgemap_options);
  options->threshold = defaults.threshold;
  options->threads = defaults.threads;
  options->format = EDGEMAP_FORMAT_AUTO;
  options->bits = defaults.bits;
  options->max_pixels = defaults.max_pixels;
  options->orient = defaults.orient ? 1 : 0;
}

EDGEMAP_API int edgemap_convert_file_ex(
    const char* source, const char* target,
    const edgemap_options* options) noexcept {
  edgemap::transcode_options o;
  if (source == nullptr || target == nullptr || !options_of(options, o)) {
    return EDGEMAP_ERROR_ARGUMENT;
  }
  const edgemap::conversion c =
      edgemap::transcode_file(source, {target, nullptr}, o);
  if (c.failure() != status::ok) errno = c.error;
  return code(c.failure());
}

#ifdef _WIN32
EDGEMAP_API int edgemap_convert_file_ex_w(
    const wchar_t* source, const wchar_t* target,
    const edgemap_options* options) noexcept {
  return with_utf8_paths(source, target, [&](const char* s, const char* t) {
    return edgemap_convert_file_ex(s, t, options);
  });
}
#endif

EDGEMAP_API int edgemap_convert_memory_ex(
    const void* image, std::size_t size, void** out, std::size_t* out_size,
    const edgemap_options* options) noexcept {
  if (out == nullptr || out_size == nullptr) {
    return EDGEMAP_ERROR_ARGUMENT;
  }
  *out = nullptr;
  *out_size = 0;
  edgemap::transcode_options o;
  if ((image == nullptr && size != 0) || !options_of(options, o)) {
    return EDGEMAP_ERROR_ARGUMENT;
  }
  static const std::uint8_t nothing = 0;
  const auto* bytes =
      image != nullptr ? static_cast<const std::uint8_t*>(image) : &nothing;
  return code(edgemap::transcode_to_memory(bytes, size, out, out_size, o));
}

EDGEMAP_API void edgemap_free(void* memory) noexcept { std::free(memory); }

}  // extern "C"
