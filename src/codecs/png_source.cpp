// PNG sources through libspng, with CRC checks on every critical chunk
// (the ancillary ones are left out before libspng sees them, the
// orientation of an eXIf chunk kept on the way). Every colour
// type and depth decodes to 8-bit RGB: 16-bit samples keep their high
// byte, lower depths scale to 0-255, palettes expand, alpha and gamma are
// left out. Rows are decoded as they are asked for; an interlaced image
// has no row complete before its last pass and is decoded whole.
#include <spng.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "codecs/exif.h"
#include "codecs/stream_reader.h"
#include "pipeline/image_source.h"

namespace edgemap {
namespace {

// A bound on what libspng may keep of the chunks it reads: a safeguard,
// as only critical chunks reach it (see critical_chunks).
constexpr std::size_t chunk_limit = static_cast<std::size_t>(16) << 20;
constexpr std::size_t chunk_cache_limit = static_cast<std::size_t>(64) << 20;

status status_of(int spng_error) noexcept {
  return spng_error == SPNG_EMEM ? status::no_memory : status::corrupt;
}

constexpr std::uint32_t max_chunk_length = 0x7fffffff;

std::uint32_t read_u32_be(const std::uint8_t* p) noexcept {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 |
         std::uint32_t{p[2]} << 8 | p[3];
}

// A larger eXIf chunk is passed over: the orientation tag sits in the
// first directory, and no camera writes 64 KiB of EXIF.
constexpr std::uint32_t exif_limit = std::uint32_t{64} << 10;

std::uint32_t crc32_of(std::uint32_t crc, const std::uint8_t* p,
                       std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int k = 0; k < 8; ++k) {
      crc = crc >> 1 ^ (0xedb88320u & (0u - (crc & 1u)));
    }
  }
  return crc;
}

bool is_letter(std::uint8_t c) noexcept {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// The PNG as libspng reads it: without the ancillary chunks after IHDR.
// None of them changes the pixels decoded here, and libspng would keep
// every text chunk against a count limit of 1000 that 0.7 gives no way to
// raise (its option takes no value above the count read so far), refusing
// valid images. Leaving them out leaves out a damaged one too, as libpng
// does by default. A chunk whose type is not four letters, or whose
// length is past what PNG allows, goes through for libspng to refuse.
class critical_chunks {
 public:
  critical_chunks() noexcept = default;
  explicit critical_chunks(const source_bytes& in) noexcept : input_(in) {}

  // Up to n bytes; fewer only at the end of the input or on a read error.
  std::size_t read(std::uint8_t* to, std::size_t n) noexcept {
    std::size_t done = 0;
    while (done < n) {
      if (sent_ < held_) {
        const std::size_t part = std::min(n - done, held_ - sent_);
        std::memcpy(to + done, header_ + sent_, part);
        sent_ += part;
        done += part;
      } else if (pass_ != 0) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(n - done, pass_));
        const std::size_t got = input_.read(to + done, want);
        done += got;
        pass_ -= got;
        if (got < want) break;
      } else if (!next_chunk()) {
        break;
      }
    }
    return done;
  }

  bool failed() const noexcept { return input_.failed(); }
  // Of the first eXIf chunk with a good CRC read so far; 1 without one.
  std::uint8_t orientation() const noexcept { return orientation_; }

 private:
  // Reads the next kept chunk's header, for read() to pass on with the
  // chunk's data and CRC.
  bool next_chunk() noexcept {
    for (;;) {
      sent_ = 0;
      held_ = input_.read(header_, sizeof header_);
      if (held_ < sizeof header_) return held_ != 0;
      const std::uint32_t length = read_u32_be(header_);
      const std::uint8_t* type = header_ + 4;
      const bool ancillary = length <= max_chunk_length && is_letter(type[0]) &&
                             is_letter(type[1]) && is_letter(type[2]) &&
                             is_letter(type[3]) && (type[0] & 0x20) != 0;
      const std::uint64_t rest = std::uint64_t{length} + 4;
      if (first_ || !ancillary) {
        first_ = false;
        pass_ = rest;
        return true;
      }
      const bool exif = std::memcmp(type, "eXIf", 4) == 0 && !exif_found_ &&
                        length <= exif_limit;
      if (!(exif ? read_exif(length) : input_.skip(rest))) {
        held_ = 0;
        return false;
      }
    }
  }

  // An eXIf chunk's data and CRC, its header read: a damaged one is left
  // out as any other, and so is one there is no memory for.
  bool read_exif(std::uint32_t length) noexcept {
    const std::size_t size = std::size_t{length} + 4;
    const std::unique_ptr<std::uint8_t[]> data(new (std::nothrow)
                                                   std::uint8_t[size]);
    if (!data) return input_.skip(size);
    if (input_.read(data.get(), size) != size) return false;
    const std::uint32_t crc =
        ~crc32_of(crc32_of(0xffffffffu, header_ + 4, 4), data.get(), length);
    if (crc == read_u32_be(data.get() + length)) {
      exif_found_ = true;
      orientation_ = exif_orientation(data.get(), length);
    }
    return true;
  }

  stream_reader input_;
  std::uint8_t header_[8] = {};  // a chunk's length and type
  std::size_t held_ = 0;
  std::size_t sent_ = 0;
  std::uint64_t pass_ = 8;  // the signature first
  bool first_ = true;       // IHDR, or whatever stands in its place
  bool exif_found_ = false;
  std::uint8_t orientation_ = 1;
};

// libspng asks for exactly `length` bytes each time.
int read_chunks(spng_ctx*, void* user, void* to, std::size_t length) {
  auto& chunks = *static_cast<critical_chunks*>(user);
  if (chunks.read(static_cast<std::uint8_t*>(to), length) == length) return 0;
  return chunks.failed() ? SPNG_IO_ERROR : SPNG_IO_EOF;
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
    chunks_ = critical_chunks(in);
    if (const int e = spng_set_png_stream(ctx_, read_chunks, &chunks_)) {
      return status_of(e);
    }
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

  std::uint8_t orientation() const noexcept override {
    return chunks_.orientation();
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
  critical_chunks chunks_;
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
