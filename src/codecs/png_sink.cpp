// Edge maps as gray PNGs of 1 or 8 bits, encoded with libspng a row at a
// time. Edge maps are long runs of white: deflate at level 1 with no row
// filter compresses a 1-bit map to a few per cent of its bits at memcpy-like
// speed, where higher levels cost several times the time for a few per
// cent less.
#include <spng.h>

#include <cstdlib>
#include <new>

#include "pipeline/edge_sink.h"

namespace edgemap {
namespace {

constexpr int compression_level = 1;

class png_sink final : public edge_sink {
 public:
  png_sink(byte_output& out, unsigned bits) noexcept : out_(out), bits_(bits) {}
  ~png_sink() override { spng_ctx_free(ctx_); }

  bool wants_bottom_first() const noexcept override { return false; }

  status begin(std::uint32_t width, std::uint32_t height,
               bool bottom_first) noexcept override {
    if (bottom_first) return status::argument;
    width_ = width;
    // PNG has no empty images.
    if (width == 0 || height == 0) return status::unsupported;
    row_bytes_ = packed_row_bytes(width, bits_);
    ctx_ = spng_ctx_new(SPNG_CTX_ENCODER);
    if (ctx_ == nullptr) return status::no_memory;
    spng_ihdr ihdr{};
    ihdr.width = width;
    ihdr.height = height;
    ihdr.bit_depth = static_cast<std::uint8_t>(bits_);
    ihdr.color_type = SPNG_COLOR_TYPE_GRAYSCALE;
    if (spng_set_png_stream(ctx_, write_bytes, this) != 0 ||
        spng_set_option(ctx_, SPNG_IMG_COMPRESSION_LEVEL, compression_level) !=
            0 ||
        spng_set_option(ctx_, SPNG_FILTER_CHOICE, SPNG_DISABLE_FILTERING) !=
            0 ||
        spng_set_ihdr(ctx_, &ihdr) != 0) {
      return status::unsupported;
    }
    return encoded(
        spng_encode_image(ctx_, nullptr, 0, SPNG_FMT_PNG,
                          SPNG_ENCODE_PROGRESSIVE | SPNG_ENCODE_FINALIZE));
  }

  std::size_t packed_bytes(std::uint32_t count) const noexcept override {
    return row_bytes_ * count;
  }

  void pack(const std::uint8_t* mask, std::size_t stride, std::uint32_t count,
            std::uint8_t* out) const noexcept override {
    for (std::uint32_t i = 0; i < count; ++i) {
      if (bits_ == 1) {
        pack_bits(mask + i * stride, width_, out + i * row_bytes_);
      } else {
        pack_gray(mask + i * stride, width_, out + i * row_bytes_);
      }
    }
  }

  status put_packed(const std::uint8_t* packed,
                    std::uint32_t count) noexcept override {
    for (std::uint32_t i = 0; i < count; ++i) {
      const int e = spng_encode_row(ctx_, packed + i * row_bytes_, row_bytes_);
      // The last row finishes the file (SPNG_EOI).
      if (e != 0 && e != SPNG_EOI) return encoded(e);
    }
    return out_.failed() ? status::write : status::ok;
  }

  status finish() noexcept override {
    return out_.failed() ? status::write : status::ok;
  }

 private:
  static int write_bytes(spng_ctx*, void* self, void* bytes,
                         std::size_t count) {
    auto& sink = *static_cast<png_sink*>(self);
    sink.out_.write(bytes, count);
    return sink.out_.failed() ? SPNG_IO_ERROR : 0;
  }

  status encoded(int e) const noexcept {
    if (e == 0) return status::ok;
    if (out_.failed()) return status::write;
    return e == SPNG_EMEM ? status::no_memory : status::write;
  }

  byte_output& out_;
  unsigned bits_;
  spng_ctx* ctx_ = nullptr;
  std::size_t row_bytes_ = 0;
  std::uint32_t width_ = 0;
};

}  // namespace

std::unique_ptr<edge_sink> make_png_sink(byte_output& out, unsigned bits) {
  return std::unique_ptr<edge_sink>(new (std::nothrow) png_sink(out, bits));
}

}  // namespace edgemap
