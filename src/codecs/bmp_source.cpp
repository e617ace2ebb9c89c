// Bitmaps as a transcoder source. Those the legacy conversion takes are
// judged by its rules (parse_bitmap) and read as stored, only their first
// three bytes counting; every other one (bmp_decode.h) is turned into
// three bytes a pixel. Rows come in either order: file order, or reversed,
// a band at a time from its offset, so that a bottom-up bitmap can feed a
// top-first target without being held whole. RLE bitmaps alone are
// decoded whole, once, to their indices: no row of them can be found
// without decoding those before it.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "bitmap/bitmap_header.h"
#include "bitmap/bitmap_io.h"
#include "codecs/bmp_decode.h"
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
    return file_order ? block
                      : block + step * static_cast<std::ptrdiff_t>(count - 1);
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

// Rows [first, first + count) of the delivered order as a block of file
// rows [lo, lo + count): the same rows, upside down when the orders differ.
std::uint32_t block_start(std::uint32_t first, std::uint32_t count,
                          std::uint32_t height, bool file_order) noexcept {
  return file_order ? first : height - first - count;
}

// The block's rows as the delivered order wants them, from rows converted
// into `buffer` in file order.
std::uint8_t* in_delivered_order(std::uint8_t* buffer, std::uint32_t count,
                                 std::size_t row_stride, bool file_order,
                                 std::ptrdiff_t& stride) noexcept {
  const auto step = static_cast<std::ptrdiff_t>(row_stride);
  stride = file_order ? step : -step;
  return file_order ? buffer
                    : buffer + step * static_cast<std::ptrdiff_t>(count - 1);
}

// Bitmaps stored as rows of palette indices, 16-bit or masked 32-bit
// pixels (or OS/2's 24-bit ones), converted to three bytes a pixel as the
// rows are asked for.
class packed_source final : public image_source {
 public:
  packed_source(const source_bytes& in, const bmp_info& info,
                const std::uint8_t (&table)[256][3]) noexcept
      : in_(in), info_(info) {
    std::memcpy(table_, table, sizeof table_);
    width_ = info.width;
    height_ = info.height;
    file_bottom_first_ = !info.top_down;
    bottom_first_ = file_bottom_first_;
  }

  bool deliver_bottom_first(bool bottom_first) noexcept override {
    bottom_first_ = bottom_first;
    return true;
  }

  bool random_access() const noexcept override {
    return in_.data != nullptr || positional_reads;
  }
  // Read from a file, a band's stored rows go past its converted ones, so
  // that each row is converted before a later one overwrites it.
  std::size_t buffer_stride() const noexcept override {
    return converted_bytes() +
           (in_.data != nullptr ? 0 : static_cast<std::size_t>(info_.stride));
  }

  const std::uint8_t* rows_at(std::uint32_t first, std::uint32_t count,
                              std::uint8_t* buffer, std::ptrdiff_t& stride,
                              status& failure) noexcept override {
    const bool file_order = bottom_first_ == file_bottom_first_;
    const std::uint32_t lo = block_start(first, count, height_, file_order);
    const std::uint64_t at = info_.pixel_offset + lo * info_.stride;
    const auto stored = static_cast<std::size_t>(info_.stride);
    const std::size_t slot = buffer_stride();
    const std::uint8_t* rows = nullptr;
    if (in_.data != nullptr) {
      rows = in_.data + at;
    } else {
      // The last row's padding may be missing from the file.
      const std::size_t bytes = std::size_t{count} * stored;
      const std::size_t required =
          bytes - (lo + count == height_
                       ? stored - static_cast<std::size_t>(info_.row_bytes())
                       : 0);
      std::uint8_t* const tail =
          buffer + std::size_t{count} * converted_bytes();
      if (read_at(in_.stream, at, tail, bytes) < required) {
        failure = status::truncated;
        return nullptr;
      }
      rows = tail;
    }
    for (std::uint32_t j = 0; j < count; ++j) {
      convert_row(info_, table_, rows + std::size_t{j} * stored,
                  buffer + std::size_t{j} * slot);
    }
    return in_delivered_order(buffer, count, slot, file_order, stride);
  }

  status read_rows(std::uint8_t* out, std::size_t stride,
                   std::uint32_t count) noexcept override {
    const bool file_order = bottom_first_ == file_bottom_first_;
    const auto row_bytes = static_cast<std::size_t>(info_.row_bytes());
    if (!row_) {
      row_.reset(new (std::nothrow) std::uint8_t[row_bytes + 1]);
      if (!row_) return status::no_memory;
    }
    for (std::uint32_t i = 0; i < count; ++i, ++next_) {
      if (next_ >= height_) return status::truncated;
      const std::uint32_t row = file_order ? next_ : height_ - 1 - next_;
      const std::uint8_t* stored = nullptr;
      const std::uint64_t at = info_.pixel_offset + row * info_.stride;
      if (in_.data != nullptr) {
        stored = in_.data + at;
      } else if (seek_to(in_.stream, at) &&
                 std::fread(row_.get(), 1, row_bytes, in_.stream) ==
                     row_bytes) {
        stored = row_.get();
      } else {
        return status::truncated;
      }
      convert_row(info_, table_, stored, out + i * stride);
    }
    return status::ok;
  }

 private:
  std::size_t converted_bytes() const noexcept {
    return 3 * std::size_t{width_};
  }

  source_bytes in_;
  bmp_info info_;
  std::uint8_t table_[256][3];
  bool file_bottom_first_ = true;
  std::uint32_t next_ = 0;
  std::unique_ptr<std::uint8_t[]> row_;  // a stored row, read in order
};

// An RLE bitmap, decoded to its indices (one a byte, bottom row first)
// when it was opened, its rows looked up in the palette as asked for.
class rle_source final : public image_source {
 public:
  rle_source(std::unique_ptr<std::uint8_t[]> index, const bmp_info& info,
             const std::uint8_t (&table)[256][3]) noexcept
      : index_(std::move(index)), info_(info) {
    std::memcpy(table_, table, sizeof table_);
    width_ = info.width;
    height_ = info.height;
    bottom_first_ = true;
  }

  bool deliver_bottom_first(bool bottom_first) noexcept override {
    bottom_first_ = bottom_first;
    return true;
  }
  bool random_access() const noexcept override { return true; }
  std::size_t buffer_stride() const noexcept override {
    return 3 * std::size_t{width_};
  }

  const std::uint8_t* rows_at(std::uint32_t first, std::uint32_t count,
                              std::uint8_t* buffer, std::ptrdiff_t& stride,
                              status&) noexcept override {
    const bool file_order = bottom_first_;
    const std::uint32_t lo = block_start(first, count, height_, file_order);
    for (std::uint32_t j = 0; j < count; ++j) {
      convert_row(info_, table_, index_of(lo + j),
                  buffer + std::size_t{j} * buffer_stride());
    }
    return in_delivered_order(buffer, count, buffer_stride(), file_order,
                              stride);
  }

  status read_rows(std::uint8_t* out, std::size_t stride,
                   std::uint32_t count) noexcept override {
    for (std::uint32_t i = 0; i < count; ++i, ++next_) {
      if (next_ >= height_) return status::truncated;
      const std::uint32_t row = bottom_first_ ? next_ : height_ - 1 - next_;
      convert_row(info_, table_, index_of(row), out + i * stride);
    }
    return status::ok;
  }

 private:
  const std::uint8_t* index_of(std::uint32_t file_row) const noexcept {
    return &index_[std::size_t{file_row} * width_];
  }

  std::unique_ptr<std::uint8_t[]> index_;
  bmp_info info_;
  std::uint8_t table_[256][3];
  std::uint32_t next_ = 0;
};

// RLE codes in memory, from the start of the file.
class memory_codes final : public rle_input {
 public:
  memory_codes(const std::uint8_t* data, std::size_t size,
               std::uint64_t at) noexcept
      : data_(data), size_(size), at_(at) {}
  std::size_t read(std::uint8_t* to, std::size_t n) noexcept override {
    const std::size_t left =
        at_ < size_ ? size_ - static_cast<std::size_t>(at_) : 0;
    const std::size_t got = n < left ? n : left;
    if (got != 0) std::memcpy(to, data_ + at_, got);
    at_ += n;
    return got;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::uint64_t at_;
};

// RLE codes from a file, read in blocks from where they start.
class file_codes final : public rle_input {
 public:
  file_codes(std::FILE* f, std::uint64_t at) noexcept
      : f_(f), ended_(!seek_to(f, at)) {}
  std::size_t read(std::uint8_t* to, std::size_t n) noexcept override {
    std::size_t got = 0;
    while (got < n) {
      if (next_ == end_) {
        if (ended_) break;
        end_ = std::fread(block_, 1, sizeof block_, f_);
        next_ = 0;
        ended_ = end_ < sizeof block_;
        if (end_ == 0) break;
      }
      const std::size_t part = n - got < end_ - next_ ? n - got : end_ - next_;
      std::memcpy(to + got, block_ + next_, part);
      next_ += part;
      got += part;
    }
    return got;
  }

 private:
  std::FILE* f_;
  bool ended_;
  std::uint8_t block_[16384] = {};
  std::size_t next_ = 0;
  std::size_t end_ = 0;
};

// Where a source's first bytes are: in memory, or read into `buffer` from
// its stream.
struct source_head {
  std::uint8_t buffer[bmp_head_bytes];
  const std::uint8_t* bytes = nullptr;
  std::size_t available = 0;
  std::uint64_t file_size = 0;

  status read(const source_bytes& in) noexcept {
    if (in.data != nullptr) {
      bytes = in.data;
      available = in.size;
      file_size = in.size;
      return status::ok;
    }
    const auto size = stream_size(in.stream);
    if (!size) return status::header;
    file_size = *size;
    available = std::fread(buffer, 1, sizeof buffer, in.stream);
    bytes = buffer;
    return status::ok;
  }
};

// Judges a bitmap by the legacy rules: the pixel limit by the header
// alone, before the file's length, as a stream (standard input), which
// cannot be measured without reading what it declares, must be judged.
status judge_legacy(const source_head& head, std::uint64_t max_pixels,
                    bitmap_layout& l) noexcept {
  if (parse_bitmap(head.bytes, head.available, UINT64_MAX, l) == status::ok &&
      !within_pixel_limit(l.width, l.height, max_pixels)) {
    return status::pixel_limit;
  }
  return parse_bitmap(head.bytes, head.available, head.file_size, l);
}

// The masks of a 32-bit bitmap the legacy rules take, where they are
// before its pixels, as they must be.
constexpr std::uint32_t wide_masks_at = 54;
constexpr std::uint32_t wide_masks_end = wide_masks_at + 12;

// A bitmap the legacy rules take, as they read it, unless it is of 32 bits
// with masks that put its channels elsewhere than blue, green, red.
status open_wide(const source_bytes& in, const source_head& head,
                 std::uint64_t max_pixels,
                 std::unique_ptr<image_source>& out) noexcept {
  bitmap_layout l;
  const status judged = judge_legacy(head, max_pixels, l);
  if (judged != status::ok) return judged;
  bmp_info info;
  std::uint8_t table[256][3] = {};
  const bool masked =
      read_u16_le(head.bytes + offset_bi_bit_count) == 32 &&
      l.data_offset >= wide_masks_end && head.available >= wide_masks_end &&
      has_colour_masks(read_u32_le(head.bytes + offset_bi_size),
                       read_u32_le(head.bytes + offset_bi_compression));
  if (masked) {
    const status shifts =
        shifts_of_masks(head.bytes + wide_masks_at, info.shift);
    if (shifts != status::ok) return shifts;
  }
  if (!masked ||
      (info.shift[0] == 0 && info.shift[1] == 8 && info.shift[2] == 16)) {
    out.reset(new (std::nothrow) bmp_source(in, l));
    return out ? status::ok : status::no_memory;
  }
  info.width = l.width;
  info.height = l.height;
  info.top_down = l.top_down;
  info.bits = 32;
  info.pixels = bmp_pixels::masked32;
  info.pixel_offset = l.data_offset;
  info.stride = l.stride;
  out.reset(new (std::nothrow) packed_source(in, info, table));
  return out ? status::ok : status::no_memory;
}

// Decodes an RLE bitmap whole: once to judge its codes, before anything in
// proportion to it is taken, then into its indices.
status open_rle(const source_bytes& in, const bmp_info& info,
                const std::uint8_t (&table)[256][3],
                std::unique_ptr<image_source>& out) noexcept {
  const auto decode = [&](std::uint8_t* index) noexcept {
    if (in.data != nullptr) {
      memory_codes codes(in.data, in.size, info.pixel_offset);
      return decode_rle(codes, info, index);
    }
    file_codes codes(in.stream, info.pixel_offset);
    return decode_rle(codes, info, index);
  };
  const status judged = decode(nullptr);
  if (judged != status::ok) return judged;
  const std::uint64_t total = std::uint64_t{info.width} * info.height;
  if (total >= SIZE_MAX) return status::no_memory;
  std::unique_ptr<std::uint8_t[]> index(
      new (std::nothrow) std::uint8_t[static_cast<std::size_t>(total) + 1]());
  if (!index) return status::no_memory;
  const status decoded = decode(index.get());
  if (decoded != status::ok) return decoded;
  out.reset(new (std::nothrow) rle_source(std::move(index), info, table));
  return out ? status::ok : status::no_memory;
}

// Reads from `in` until out holds `size` bytes or the stream ends. Throws
// std::bad_alloc.
void fill_to(std::FILE* in, std::vector<std::uint8_t>& out,
             std::uint64_t size) {
  constexpr std::size_t chunk = std::size_t{1} << 20;
  while (out.size() < size) {
    const std::size_t at = out.size();
    const std::size_t want = static_cast<std::size_t>(
        size - at < chunk ? size - at : std::uint64_t{chunk});
    out.resize(at + want);
    const std::size_t got = std::fread(out.data() + at, 1, want, in);
    out.resize(at + got);
    if (got < want) return;
  }
}

// RLE codes from a stream that cannot seek, kept in `out` as they are
// read, so that exactly the bytes the decoder takes are read.
class declared_codes final : public rle_input {
 public:
  declared_codes(std::FILE* in, std::vector<std::uint8_t>& out,
                 std::uint64_t at) noexcept
      : in_(in), out_(out), at_(at) {}
  std::size_t read(std::uint8_t* to, std::size_t n) noexcept override {
    try {
      fill_to(in_, out_, at_ + n);
    } catch (const std::bad_alloc&) {
      out_of_memory = true;
    }
    const std::size_t left =
        at_ < out_.size() ? out_.size() - static_cast<std::size_t>(at_) : 0;
    const std::size_t got = n < left ? n : left;
    if (got != 0) std::memcpy(to, out_.data() + at_, got);
    at_ += n;
    return out_of_memory ? 0 : got;
  }
  bool out_of_memory = false;

 private:
  std::FILE* in_;
  std::vector<std::uint8_t>& out_;
  std::uint64_t at_;
};

}  // namespace

status open_bmp_source(const source_bytes& in, std::uint64_t max_pixels,
                       std::unique_ptr<image_source>& out,
                       bitmap_layout* layout) noexcept {
  source_head head;
  const status read = head.read(in);
  if (read != status::ok) return read;
  bitmap_layout l;
  const status judged = judge_legacy(head, max_pixels, l);
  if (judged != status::ok) return judged;
  if (layout != nullptr) *layout = l;
  out.reset(new (std::nothrow) bmp_source(in, l));
  return out ? status::ok : status::no_memory;
}

status open_any_bmp_source(const source_bytes& in, std::uint64_t max_pixels,
                           std::unique_ptr<image_source>& out) noexcept {
  source_head head;
  const status read = head.read(in);
  if (read != status::ok) return read;
  if (head.available < fields_end ||
      (read_u32_le(head.bytes + offset_bi_size) != os2_header_size &&
       head.bytes[offset_bi_bit_count] >= 24)) {
    return open_wide(in, head, max_pixels, out);
  }
  bmp_info info;
  const status parsed = parse_bmp_info(head.bytes, head.available, info);
  if (parsed != status::ok) return parsed;
  if (!within_pixel_limit(info.width, info.height, max_pixels)) {
    return status::pixel_limit;
  }
  if (head.file_size < info.palette_end()) return status::truncated;
  std::uint8_t palette[256 * 4];
  const std::size_t palette_bytes = std::size_t{info.colors} * info.entry_size;
  if (in.data != nullptr) {
    std::memcpy(palette, in.data + info.palette_at, palette_bytes);
  } else if (!seek_to(in.stream, info.palette_at) ||
             std::fread(palette, 1, palette_bytes, in.stream) !=
                 palette_bytes) {
    return status::truncated;
  }
  std::uint8_t table[256][3];
  load_palette(info, palette, table);
  if (info.rle) return open_rle(in, info, table, out);
  if (head.file_size < info.pixel_offset + info.needed()) {
    return status::truncated;
  }
  out.reset(new (std::nothrow) packed_source(in, info, table));
  return out ? status::ok : status::no_memory;
}

status read_declared_bitmap(std::FILE* in, std::vector<std::uint8_t>& out,
                            std::uint64_t legacy_max_pixels,
                            std::uint64_t max_pixels) {
  fill_to(in, out, fields_end);
  if (out.size() < fields_end) {
    return std::ferror(in) == 0 ? status::ok : status::open_source;
  }
  const bool os2 = read_u32_le(out.data() + offset_bi_size) == os2_header_size;
  bitmap_layout l;
  // Judged as if the stream were as long as it says.
  const bool legacy =
      out[offset_bi_bit_count] >= 24 &&
      parse_bitmap(out.data(), fields_end, UINT64_MAX, l) == status::ok;
  if (legacy) {
    if (!within_pixel_limit(l.width, l.height, legacy_max_pixels)) {
      // An OS/2 header may yet be read as such: judged below.
      if (!os2) return status::pixel_limit;
    } else {
      fill_to(in, out, std::uint64_t{l.data_offset} + l.pixel_bytes);
    }
  }
  if (os2 || out[offset_bi_bit_count] < 24) {
    // The header and its masks, the palette, then the pixels or the codes.
    fill_to(in, out, bmp_header_bytes(out.data(), out.size()));
    fill_to(in, out, bmp_header_bytes(out.data(), out.size()));
    bmp_info info;
    if (parse_bmp_info(out.data(), out.size(), info) == status::ok) {
      if (!within_pixel_limit(info.width, info.height, max_pixels)) {
        // The legacy rules may take what this reading refuses.
        if (!legacy) return status::pixel_limit;
      } else if (info.rle) {
        fill_to(in, out, info.palette_end());
        declared_codes codes(in, out, info.pixel_offset);
        (void)decode_rle(codes, info, nullptr);  // judged again from memory
        if (codes.out_of_memory) throw std::bad_alloc();
      } else {
        fill_to(in, out, info.palette_end());
        fill_to(in, out, info.pixel_offset + info.stride * info.height);
      }
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
