// PNG sources through libspng, with CRC checks on every chunk. Every colour
// type and depth decodes to 8-bit RGB: 16-bit samples keep their high
// byte, lower depths scale to 0-255, palettes expand, alpha and gamma are
// left out. Rows are decoded as they are asked for; an interlaced image
// has no row complete before its last pass and is decoded whole.
#include <spng.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "codecs/image_source.h"

namespace edgemap {
namespace {

// Ancillary chunks are read but never used: a bound on what they may take.
constexpr std::size_t chunk_limit = static_cast<std::size_t>(16) << 20;
constexpr std::size_t chunk_cache_limit = static_cast<std::size_t>(64) << 20;

status status_of(int spng_error) noexcept {
  return spng_error == SPNG_EMEM ? status::no_memory : status::corrupt;
}

class png_source final : public image_source {
 public:
  ~png_source() override {
    spng_ctx_free(ctx_);
    std::free(whole_);
  }

  status open(const source_bytes& in, std::uint64_t max_pixels) noexcept {
    // Every IDAT chunk's CRC-32 covers the compressed bytes: zlib's Adler-32
    // over the same data again would find nothing more, at 6% of the time.
    ctx_ = spng_ctx_new(SPNG_CTX_IGNORE_ADLER32);
    if (ctx_ == nullptr) return status::no_memory;
    (void)spng_set_crc_action(ctx_, SPNG_CRC_ERROR, SPNG_CRC_ERROR);
    (void)spng_set_chunk_limits(ctx_, chunk_limit, chunk_cache_limit);
    const int set = in.data != nullptr
                        ? spng_set_png_buffer(ctx_, in.data, in.size)
                        : spng_set_png_file(ctx_, in.stream);
    if (set != 0) return status_of(set);
    spng_ihdr ihdr{};
    if (const int e = spng_get_ihdr(ctx_, &ihdr)) return status_of(e);
    if (!within_pixel_limit(ihdr.width, ihdr.height, max_pixels)) {
      return status::pixel_limit;
    }
    width_ = ihdr.width;
    height_ = ihdr.height;
    row_bytes_ = static_cast<std::size_t>(width_) * 3;
    if (ihdr.interlace_method != SPNG_INTERLACE_NONE) {
      std::size_t size = 0;
      if (const int e = spng_decoded_image_size(ctx_, SPNG_FMT_RGB8, &size)) {
        return status_of(e);
      }
      whole_ = static_cast<std::uint8_t*>(std::malloc(size));
      if (whole_ == nullptr) return status::no_memory;
      if (const int e =
              spng_decode_image(ctx_, whole_, size, SPNG_FMT_RGB8, 0)) {
        return status_of(e);
      }
      return status::ok;
    }
    const int e = spng_decode_image(ctx_, nullptr, 0, SPNG_FMT_RGB8,
                                    SPNG_DECODE_PROGRESSIVE);
    return e == 0 ? status::ok : status_of(e);
  }

  status read_rows(std::uint8_t* out, std::size_t stride,
                   std::uint32_t count) noexcept override {
    for (std::uint32_t i = 0; i < count; ++i, ++next_) {
      if (next_ >= height_) return status::corrupt;
      std::uint8_t* const to = out + i * stride;
      if (whole_ != nullptr) {
        std::memcpy(to, whole_ + next_ * row_bytes_, row_bytes_);
        continue;
      }
      const int e = spng_decode_row(ctx_, to, row_bytes_);
      // The last row ends the image data (SPNG_EOI).
      if (e != 0 && !(e == SPNG_EOI && next_ + 1 == height_)) {
        return status_of(e);
      }
    }
    // The chunks after the last row, up to IEND, with their CRCs: the rest
    // of the last IDAT is among them.
    if (next_ == height_ && count != 0) {
      if (const int e = spng_decode_chunks(ctx_)) return status_of(e);
    }
    return status::ok;
  }

 private:
  spng_ctx* ctx_ = nullptr;
  std::uint8_t* whole_ = nullptr;  // an interlaced image, decoded
  std::size_t row_bytes_ = 0;
  std::uint32_t next_ = 0;
};

}  // namespace

status open_png_source(const source_bytes& in, std::uint64_t max_pixels,
                       std::unique_ptr<image_source>& out) noexcept {
  return open_as<png_source>(in, max_pixels, out);
}

}  // namespace edgemap
