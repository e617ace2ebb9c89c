// Sources for the transcoder: an image of any format this library reads,
// delivered a few rows at a time as pixels whose first three bytes are the
// colour samples (in any order: only their mean counts) or a gray sample
// three times over. PNG and JPEG pixels are those three bytes; a bitmap's
// keep their file layout, 3 to 31 bytes as its bit count says, and the
// bytes past the third play no part in the gray level (the legacy target
// copies them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <vector>

#include "core/status.h"

namespace edgemap {

// Where a source's bytes are: all of them in memory, or a stream. A
// stream that cannot seek (standard input) may have had its first bytes
// read already, to tell its kind: they are `head`, served before the
// stream's own bytes.
struct source_bytes {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  std::FILE* stream = nullptr;         // used when data is null
  std::uint64_t stream_size = 0;       // of a seekable stream; 0 when unknown
  const std::uint8_t* head = nullptr;  // with a stream only
  std::size_t head_size = 0;
};

class image_source {
 public:
  virtual ~image_source() = default;
  image_source() = default;
  image_source(const image_source&) = delete;
  image_source& operator=(const image_source&) = delete;

  std::uint32_t width() const noexcept { return width_; }
  std::uint32_t height() const noexcept { return height_; }
  std::uint32_t bytes_per_pixel() const noexcept { return bytes_per_pixel_; }
  // Whether rows come bottom row first (as a bottom-up bitmap stores them).
  bool bottom_first() const noexcept { return bottom_first_; }
  // Asks for the other order; false when the source cannot give it. Call it
  // before the first read.
  virtual bool deliver_bottom_first(bool) noexcept { return false; }
  // The EXIF orientation of the image (1 to 8; 1 upright as stored, and
  // for every source without one). Known once every row has been read: a
  // WebP keeps its EXIF after the pixels.
  virtual std::uint8_t orientation() const noexcept { return 1; }

  // The next `count` rows, in the order above, into out, rows stride bytes
  // apart (each row width * bytes_per_pixel bytes).
  virtual status read_rows(std::uint8_t* out, std::size_t stride,
                           std::uint32_t count) noexcept = 0;

  // Whether rows_at may be called, from several threads at once, instead
  // of read_rows.
  virtual bool random_access() const noexcept { return false; }
  // Bytes between rows in the buffers rows_at takes.
  virtual std::size_t buffer_stride() const noexcept { return 0; }
  // Rows [first, first + count) in the order above: where they already are
  // in memory, or read into `buffer` (count rows of buffer_stride()).
  // Returns the first row and sets `stride` (negative for rows that go up
  // in memory); null with `failure` set when they cannot be had.
  virtual const std::uint8_t* rows_at(std::uint32_t /*first*/,
                                      std::uint32_t /*count*/,
                                      std::uint8_t* /*buffer*/,
                                      std::ptrdiff_t& /*stride*/,
                                      status& failure) noexcept {
    failure = status::argument;
    return nullptr;
  }

 protected:
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
  std::uint32_t bytes_per_pixel_ = 3;
  bool bottom_first_ = false;
};

// Each opener reads the header, refuses an image of more than max_pixels
// pixels (0: no limit) with status::pixel_limit before taking any memory
// in proportion to it, and otherwise sets `out`.
// A bitmap's header fields, when `layout` is given, go there too.
struct bitmap_layout;
status open_bmp_source(const source_bytes& in, std::uint64_t max_pixels,
                       std::unique_ptr<image_source>& out,
                       bitmap_layout* layout = nullptr) noexcept;
// A bitmap's pixel array already in memory, as that layout describes it
// (its data_offset ignored): the legacy entry's loaded image.
status open_bitmap_pixels(const std::uint8_t* pixels,
                          const bitmap_layout& layout,
                          std::unique_ptr<image_source>& out) noexcept;
// Every bitmap there is: 1 to 8 bits with a palette, 16 bits, 32 bits with
// bit-field masks, RLE, OS/2 headers. Its pixels are RGB; a 24-bit or
// 32-bit bitmap without masks is read as open_bmp_source reads it.
status open_any_bmp_source(const source_bytes& in, std::uint64_t max_pixels,
                           std::unique_ptr<image_source>& out) noexcept;
// Reads a bitmap from a stream that cannot seek: its header fields, then,
// once they are judged (the pixel limit too), the bytes they declare and
// no more, so that an endless stream (/dev/zero) is judged by its first
// bytes. A bitmap the legacy rules take (24 bits and more) is judged by
// legacy_max_pixels, any other by max_pixels (0: no limit). out holds the
// stream's first bytes already (read to tell its kind). Throws
// std::bad_alloc.
status read_declared_bitmap(std::FILE* in, std::vector<std::uint8_t>& out,
                            std::uint64_t legacy_max_pixels,
                            std::uint64_t max_pixels);
status open_png_source(const source_bytes& in, std::uint64_t max_pixels,
                       std::unique_ptr<image_source>& out) noexcept;
status open_jpeg_source(const source_bytes& in, std::uint64_t max_pixels,
                        std::unique_ptr<image_source>& out) noexcept;

// TIFF through libtiff: the first page. Read from memory or a seekable
// stream (a pipe's TIFF is held in memory first, by the caller).
status open_tiff_source(const source_bytes& in, std::uint64_t max_pixels,
                        std::unique_ptr<image_source>& out) noexcept;
// WebP through libwebp, decoded as its bytes arrive.
status open_webp_source(const source_bytes& in, std::uint64_t max_pixels,
                        std::unique_ptr<image_source>& out) noexcept;

// A new Source, opened with Source::open(in, max_pixels), into out; out
// stays empty when the open fails.
template <typename Source>
status open_as(const source_bytes& in, std::uint64_t max_pixels,
               std::unique_ptr<image_source>& out) noexcept {
  auto* const source = new (std::nothrow) Source;
  if (source == nullptr) return status::no_memory;
  out.reset(source);
  const status opened = source->open(in, max_pixels);
  if (opened != status::ok) out.reset();
  return opened;
}

// Whether width x height is within the limit (0: none).
inline bool within_pixel_limit(std::uint32_t width, std::uint32_t height,
                               std::uint64_t max_pixels) noexcept {
  return max_pixels == 0 ||
         std::uint64_t{width} * std::uint64_t{height} <= max_pixels;
}

}  // namespace edgemap
