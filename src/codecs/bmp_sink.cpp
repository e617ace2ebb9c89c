// Edge maps as standard bottom-up bitmaps: a 54-byte header, a palette for
// 1 and 8 bits (black and white, or 256 grays), rows padded to 4 bytes.
#include <cstdlib>
#include <new>

#include "bitmap/bitmap_header.h"
#include "pipeline/edge_sink.h"

namespace edgemap {
namespace {

class bmp_sink final : public edge_sink {
 public:
  bmp_sink(byte_output& out, unsigned bits) noexcept : out_(out), bits_(bits) {}
  ~bmp_sink() override { std::free(whole_); }

  bool wants_bottom_first() const noexcept override { return true; }

  status begin(std::uint32_t width, std::uint32_t height,
               bool bottom_first) noexcept override {
    width_ = width;
    height_ = height;
    bottom_first_ = bottom_first;
    stride_ =
        (packed_row_bytes(width, bits_) + 3) & ~static_cast<std::size_t>(3);
    const std::uint32_t colours = bits_ == 24 ? 0 : 1u << bits_;
    pixels_at_ = header_size + 4 * colours;
    const std::uint64_t total =
        pixels_at_ + static_cast<std::uint64_t>(stride_) *
                         static_cast<std::uint64_t>(height);
    if (total > UINT32_MAX) return status::target_too_large;

    auto header = initial_bmp_header();
    write_u32_le(header.data() + offset_bf_size,
                 static_cast<std::uint32_t>(total));
    write_u32_le(header.data() + offset_bf_off_bits, pixels_at_);
    write_u32_le(header.data() + offset_bi_width, width);
    write_u32_le(header.data() + offset_bi_height, height);
    header[offset_bi_bit_count] = static_cast<std::uint8_t>(bits_);
    write_u32_le(header.data() + 34,
                 static_cast<std::uint32_t>(
                     static_cast<std::uint64_t>(stride_) * height));
    write_u32_le(header.data() + 46, colours);  // biClrUsed
    out_.write(header.data(), header.size());
    std::uint8_t palette[4 * 256] = {};
    for (std::size_t i = 0; i < colours; ++i) {
      const auto level = static_cast<std::uint8_t>(colours == 2 ? 255 * i : i);
      palette[4 * i] = palette[4 * i + 1] = palette[4 * i + 2] = level;
    }
    out_.write(palette, 4 * static_cast<std::size_t>(colours));
    // Rows given top first go to their places from the end backwards;
    // where the output cannot seek, the pixel array waits in memory.
    if (!bottom_first && height > 0 && !out_.seek(pixels_at_)) {
      whole_ = static_cast<std::uint8_t*>(
          std::calloc(static_cast<std::size_t>(total - pixels_at_), 1));
      if (whole_ == nullptr) return status::no_memory;
    }
    return out_.failed() ? status::write : status::ok;
  }

  std::size_t packed_bytes(std::uint32_t count) const noexcept override {
    return stride_ * count;
  }

  // Rows go in file order (bottom first) either way, padding zeroed.
  void pack(const std::uint8_t* mask, std::size_t stride, std::uint32_t count,
            std::uint8_t* out) const noexcept override {
    const std::size_t used = packed_row_bytes(width_, bits_);
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint32_t place = bottom_first_ ? i : count - 1 - i;
      std::uint8_t* const row = out + place * stride_;
      const std::uint8_t* const m = mask + i * stride;
      if (bits_ == 1) {
        pack_bits(m, width_, row);
      } else if (bits_ == 8) {
        pack_gray(m, width_, row);
      } else {
        pack_rgb(m, width_, row);
      }
      std::memset(row + used, 0, stride_ - used);
    }
  }

  status put_packed(const std::uint8_t* packed,
                    std::uint32_t count) noexcept override {
    if (count == 0) return status::ok;
    const std::size_t bytes = stride_ * count;
    if (bottom_first_) {
      out_.write(packed, bytes);
    } else {
      // Top rows [done, done + count) are file rows ending at height - done.
      const std::uint64_t first_file_row = height_ - done_ - count;
      const std::uint64_t at = first_file_row * stride_;
      if (whole_ != nullptr) {
        std::memcpy(whole_ + at, packed, bytes);
      } else if (out_.seek(pixels_at_ + at)) {
        out_.write(packed, bytes);
      } else {
        return status::write;
      }
    }
    done_ += count;
    return out_.failed() ? status::write : status::ok;
  }

  status finish() noexcept override {
    if (whole_ != nullptr)
      out_.write(whole_, stride_ * static_cast<std::size_t>(height_));
    return out_.failed() ? status::write : status::ok;
  }

 private:
  byte_output& out_;
  unsigned bits_;
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
  bool bottom_first_ = true;
  std::size_t stride_ = 0;
  std::uint32_t pixels_at_ = 0;
  std::uint32_t done_ = 0;
  std::uint8_t* whole_ = nullptr;
};

class legacy_bmp_sink final : public edge_sink {
 public:
  legacy_bmp_sink(byte_output& out, const bitmap_layout& l) noexcept
      : out_(out), l_(l) {}

  // The source's own row order: rows are written as they come.
  bool wants_bottom_first() const noexcept override { return !l_.top_down; }
  bool takes_picture() const noexcept override { return true; }

  status begin(std::uint32_t, std::uint32_t,
               bool bottom_first) noexcept override {
    if (bottom_first == l_.top_down) return status::argument;
    auto header = initial_bmp_header();
    patch_bmp_header(header.data(), l_);
    out_.write(header.data(), header.size());
    return out_.failed() ? status::write : status::ok;
  }

  std::size_t packed_bytes(std::uint32_t count) const noexcept override {
    return std::size_t{l_.stride} * count;
  }

  void pack(const std::uint8_t*, std::size_t, std::uint32_t count,
            std::uint8_t* out) const noexcept override {
    zero_row_padding(out, count, l_);
  }

  status put_packed(const std::uint8_t* packed,
                    std::uint32_t count) noexcept override {
    out_.write(packed, packed_bytes(count));
    return out_.failed() ? status::write : status::ok;
  }

  status finish() noexcept override {
    return out_.failed() ? status::write : status::ok;
  }

 private:
  byte_output& out_;
  bitmap_layout l_;
};

}  // namespace

std::unique_ptr<edge_sink> make_bmp_sink(byte_output& out, unsigned bits) {
  return std::unique_ptr<edge_sink>(new (std::nothrow) bmp_sink(out, bits));
}

std::unique_ptr<edge_sink> make_legacy_bmp_sink(byte_output& out,
                                                const bitmap_layout& layout) {
  return std::unique_ptr<edge_sink>(new (std::nothrow)
                                        legacy_bmp_sink(out, layout));
}

}  // namespace edgemap
