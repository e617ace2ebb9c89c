// Bitmaps as a transcoder source, judged by the same rules as the legacy
// conversion (parse_bitmap). Rows come in either order: file order, or
// reversed, a row at a time from its offset, so that a bottom-up bitmap
// can feed a top-first target without being held whole.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "bitmap/bitmap_header.h"
#include "bitmap/bitmap_io.h"
#include "pipeline/image_source.h"
#include "platform/files.h"

namespace edgemap {
namespace {

class bmp_source final : public image_source {
 public:
  bmp_source(const source_bytes& in, const bitmap_layout& l) noexcept
      : in_(in), l_(l) {
    width_ = l.width;
    height_ = l.height;
    bytes_per_pixel_ = l.bytes_per_pixel;
    file_bottom_first_ = !l.top_down;
    bottom_first_ = file_bottom_first_;
  }

  bool deliver_bottom_first(bool bottom_first) noexcept override {
    bottom_first_ = bottom_first;
    return true;
  }

  bool random_access() const noexcept override {
    return in_.data != nullptr || positional_reads;
  }
  std::size_t buffer_stride() const noexcept override { return l_.stride; }

  const std::uint8_t* rows_at(std::uint32_t first, std::uint32_t count,
                              std::uint8_t* buffer, std::ptrdiff_t& stride,
                              status& failure) noexcept override {
    const bool file_order = bottom_first_ == file_bottom_first_;
    // The rows as a block of file rows [lo, lo + count).
    const std::uint32_t lo = file_order ? first : l_.height - first - count;
    const std::uint64_t at = static_cast<std::uint64_t>(l_.data_offset) +
                             static_cast<std::uint64_t>(lo) * l_.stride;
    const auto step = static_cast<std::ptrdiff_t>(l_.stride);
    const std::uint8_t* block = nullptr;
    if (in_.data != nullptr) {
      block = in_.data + at;
    } else {
      // The last row's padding may be missing from the file.
      const std::size_t bytes = static_cast<std::size_t>(count) * l_.stride;
      const std::size_t required =
          bytes - (lo + count == l_.height ? l_.stride - l_.row_bytes() : 0);
      if (read_at(in_.stream, at, buffer, bytes) < required) {
        failure = status::truncated;
        return nullptr;
      }
      block = buffer;
    }
    stride = file_order ? step : -step;
    return file_order ? block : block + step * (count - 1);
  }

  status read_rows(std::uint8_t* out, std::size_t stride,
                   std::uint32_t count) noexcept override {
    const bool file_order = bottom_first_ == file_bottom_first_;
    for (std::uint32_t i = 0; i < count; ++i, ++next_) {
      if (next_ >= l_.height) return status::truncated;
      const std::uint32_t row = file_order ? next_ : l_.height - 1 - next_;
      const std::uint64_t at = static_cast<std::uint64_t>(l_.data_offset) +
                               static_cast<std::uint64_t>(row) * l_.stride;
      std::uint8_t* const to = out + i * stride;
      if (in_.data != nullptr) {
        std::memcpy(to, in_.data + at, l_.row_bytes());
        continue;
      }
      // In file order the stream already stands at the row.
      if ((!file_order || next_ == 0) && !seek_to(in_.stream, at)) {
        return status::truncated;
      }
      if (std::fread(to, 1, l_.row_bytes(), in_.stream) != l_.row_bytes()) {
        return status::truncated;
      }
      const std::size_t padding = l_.stride - l_.row_bytes();
      if (file_order && padding != 0 && row + 1 < l_.height &&
          std::fseek(in_.stream, static_cast<long>(padding), SEEK_CUR) != 0) {
        return status::truncated;
      }
    }
    return status::ok;
  }

 private:
  source_bytes in_;
  bitmap_layout l_;
  bool file_bottom_first_ = true;
  std::uint32_t next_ = 0;
};

}  // namespace

status open_bmp_source(const source_bytes& in, std::uint64_t max_pixels,
                       std::unique_ptr<image_source>& out,
                       bitmap_layout* layout) noexcept {
  std::uint8_t fields[fields_end];
  const std::uint8_t* head = in.data;
  std::size_t available = in.size;
  std::uint64_t file_size = in.size;
  if (head == nullptr) {
    const status read = read_fields(in.stream, fields, available, file_size);
    if (read != status::ok) return read;
    head = fields;
  }
  // The pixel limit is judged by the header alone, before the file's
  // length: a stream (standard input) cannot be measured without reading
  // what it declares, and every source is judged in the same order.
  bitmap_layout l;
  if (parse_bitmap(head, available, UINT64_MAX, l) == status::ok &&
      !within_pixel_limit(l.width, l.height, max_pixels)) {
    return status::pixel_limit;
  }
  const status judged = parse_bitmap(head, available, file_size, l);
  if (judged != status::ok) return judged;
  if (layout != nullptr) *layout = l;
  out.reset(new (std::nothrow) bmp_source(in, l));
  return out ? status::ok : status::no_memory;
}

status open_any_bmp_source(const source_bytes& in, std::uint64_t max_pixels,
                           std::unique_ptr<image_source>& out) noexcept {
  return open_bmp_source(in, max_pixels, out);
}

status read_declared_bitmap(std::FILE* in, std::vector<std::uint8_t>& out,
                            std::uint64_t legacy_max_pixels,
                            std::uint64_t max_pixels) {
  (void)max_pixels;  // every bitmap is judged by the legacy rules for now
  const std::uint64_t limit = legacy_max_pixels;
  if (out.size() < fields_end) {
    const std::size_t had = out.size();
    out.resize(fields_end);
    out.resize(had + std::fread(out.data() + had, 1, fields_end - had, in));
  }
  bitmap_layout l;
  // Judged as if the stream were as long as it says.
  if (out.size() >= fields_end &&
      parse_bitmap(out.data(), fields_end, UINT64_MAX, l) == status::ok) {
    if (!within_pixel_limit(l.width, l.height, limit)) {
      return status::pixel_limit;
    }
    const std::uint64_t total = std::uint64_t{l.data_offset} + l.pixel_bytes;
    constexpr std::size_t chunk = std::size_t{1} << 20;
    while (out.size() < total) {
      const std::size_t at = out.size();
      const std::size_t want = static_cast<std::size_t>(
          total - at < chunk ? total - at : std::uint64_t{chunk});
      out.resize(at + want);
      const std::size_t got = std::fread(out.data() + at, 1, want, in);
      out.resize(at + got);
      if (got < want) break;
    }
  }
  return std::ferror(in) == 0 ? status::ok : status::open_source;
}

status open_bitmap_pixels(const std::uint8_t* pixels,
                          const bitmap_layout& layout,
                          std::unique_ptr<image_source>& out) noexcept {
  bitmap_layout l = layout;
  l.data_offset = 0;
  source_bytes in;
  in.data = pixels;
  in.size = l.pixel_bytes;
  out.reset(new (std::nothrow) bmp_source(in, l));
  return out ? status::ok : status::no_memory;
}

}  // namespace edgemap
