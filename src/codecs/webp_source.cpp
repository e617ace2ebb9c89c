// WebP sources through libwebp's incremental decoder, with its default
// decoding (fancy upsampling, as dwebp and Pillow have it), lossy or
// lossless, alpha left out. The RIFF chunks are walked here as the bytes
// arrive: the decoder is given the RIFF header, VP8X, ALPH and the image
// chunk, and nothing else (ICC profiles, XMP, unknown chunks are passed
// over unread, so a stream never has them held). An animation is refused.
// The first EXIF chunk, before or after the image, gives the orientation.
//
// Rows come out as the decoder finishes them, but into an RGB buffer of
// the whole image: the incremental decoder writes row y at y * stride of
// the buffer it was given and checks that buffer against the whole frame,
// so no smaller window can be handed to it. The pixel limit is judged
// before that buffer is taken; a WebP has at most 16383 x 16383 pixels.
#include <webp/decode.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "codecs/exif.h"
#include "codecs/stream_reader.h"
#include "pipeline/image_source.h"

namespace edgemap {
namespace {

// What is read and given to the decoder at a time.
constexpr std::size_t piece_bytes = std::size_t{64} << 10;
// A larger EXIF chunk is passed over: the orientation tag sits in the
// first directory, and no camera writes 64 KiB of EXIF.
constexpr std::uint32_t exif_limit = std::uint32_t{64} << 10;
constexpr std::size_t riff_header_bytes = 12;  // "RIFF", size, "WEBP"
constexpr std::size_t chunk_header_bytes = 8;  // tag, size
constexpr std::uint32_t vp8x_bytes = 10;
constexpr std::uint8_t animation_flag = 0x02;
// The start of an image chunk that holds its frame header: 10 bytes for
// VP8, 5 for VP8L.
constexpr std::uint32_t frame_header_bytes = 10;

std::uint32_t read_u32_le(const std::uint8_t* p) noexcept {
  return std::uint32_t{p[3]} << 24 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[1]} << 8 | p[0];
}

std::uint32_t read_u24_le(const std::uint8_t* p) noexcept {
  return std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0];
}

bool is_tag(const std::uint8_t* chunk, const char (&tag)[5]) noexcept {
  return std::memcmp(chunk, tag, 4) == 0;
}

status status_of(VP8StatusCode code) noexcept {
  switch (code) {
    case VP8_STATUS_OK:
      return status::ok;
    case VP8_STATUS_OUT_OF_MEMORY:
      return status::no_memory;
    case VP8_STATUS_UNSUPPORTED_FEATURE:
      return status::unsupported;
    default:
      return status::corrupt;
  }
}

class webp_source final : public image_source {
 public:
  ~webp_source() override {
    if (decoder_ != nullptr) WebPIDelete(decoder_);
    std::free(pixels_);
  }

  status open(const source_bytes& in, std::uint64_t max_pixels) noexcept {
    input_ = stream_reader(in);
    piece_.reset(new (std::nothrow) std::uint8_t[piece_bytes]);
    if (!piece_) return status::no_memory;
    try {
      std::vector<std::uint8_t> held;
      const status s = read_to_image(held, max_pixels);
      return s == status::ok ? start_decoder(held, max_pixels) : s;
    } catch (const std::bad_alloc&) {
      return status::no_memory;
    }
  }

  std::uint8_t orientation() const noexcept override { return orientation_; }

  status read_rows(std::uint8_t* out, std::size_t stride,
                   std::uint32_t count) noexcept override {
    for (std::uint32_t i = 0; i < count; ++i, ++next_) {
      if (next_ >= height_) return status::corrupt;
      while (ready_ <= next_) {
        if (const status s = feed(); s != status::ok) return s;
      }
      std::memcpy(out + i * stride, pixels_ + next_ * row_bytes_, row_bytes_);
    }
    // The rest of the RIFF after the last row: a trailing EXIF chunk, and
    // a file cut short after its image is refused as one cut short inside.
    if (next_ == height_ && count != 0) return read_to_end();
    return status::ok;
  }

 private:
  bool read_exact(std::uint8_t* to, std::size_t n) noexcept {
    return input_.read(to, n) == n;
  }

  // Grown a piece at a time, so that a size no bytes back up takes no
  // memory.
  bool read_onto(std::vector<std::uint8_t>& held, std::size_t n) {
    while (n != 0) {
      const std::size_t part = std::min(n, piece_bytes);
      const std::size_t at = held.size();
      held.resize(at + part);
      if (!read_exact(held.data() + at, part)) return false;
      n -= part;
    }
    return true;
  }

  // The chunks up to the first bytes of the image chunk: what the decoder
  // needs of them goes into held. Throws std::bad_alloc.
  status read_to_image(std::vector<std::uint8_t>& held,
                       std::uint64_t max_pixels) {
    if (!read_onto(held, riff_header_bytes)) return status::corrupt;
    if (!is_tag(held.data(), "RIFF") || !is_tag(held.data() + 8, "WEBP")) {
      return status::corrupt;
    }
    const std::uint32_t riff_size = read_u32_le(held.data() + 4);
    if (riff_size < riff_header_bytes) return status::corrupt;
    left_ = riff_size - 4;
    for (bool first = true;; first = false) {
      std::uint8_t header[chunk_header_bytes];
      std::uint32_t size = 0;
      if (const status s = chunk_header(header, size); s != status::ok) {
        return s;
      }
      if (is_tag(header, "VP8 ") || is_tag(header, "VP8L")) {
        held.insert(held.end(), header, header + chunk_header_bytes);
        const std::uint32_t start = std::min(size, frame_header_bytes);
        if (!read_onto(held, start)) return status::corrupt;
        left_ -= size;
        image_size_ = size;
        image_left_ = size - start;
        return status::ok;
      }
      if (first && is_tag(header, "VP8X")) {
        if (size != vp8x_bytes) return status::corrupt;
        held.insert(held.end(), header, header + chunk_header_bytes);
        if (!read_onto(held, vp8x_bytes)) return status::corrupt;
        left_ -= vp8x_bytes;
        const std::uint8_t* const vp8x = held.data() + held.size() - vp8x_bytes;
        if ((vp8x[0] & animation_flag) != 0) return status::unsupported;
        // The canvas: the frame must match it, as the decoder checks.
        const std::uint32_t width = read_u24_le(vp8x + 4) + 1;
        const std::uint32_t height = read_u24_le(vp8x + 7) + 1;
        if (!within_pixel_limit(width, height, max_pixels)) {
          return status::pixel_limit;
        }
        extended_ = true;
        continue;
      }
      // Only the extended format has chunks before its image.
      if (!extended_) return status::corrupt;
      if (is_tag(header, "ALPH")) {
        // With its padding byte: the decoder steps over chunks as stored.
        const std::uint32_t padded =
            size + ((size & 1) != 0 && size < left_ ? 1 : 0);
        held.insert(held.end(), header, header + chunk_header_bytes);
        if (!read_onto(held, padded)) return status::corrupt;
        left_ -= padded;
        continue;
      }
      if (const status s = pass_chunk(header, size); s != status::ok) return s;
    }
  }

  // The next chunk's header, within what is left of the RIFF.
  status chunk_header(std::uint8_t (&header)[chunk_header_bytes],
                      std::uint32_t& size) noexcept {
    if (left_ < chunk_header_bytes || !read_exact(header, chunk_header_bytes)) {
      return status::corrupt;
    }
    left_ -= chunk_header_bytes;
    size = read_u32_le(header + 4);
    return size <= left_ ? status::ok : status::corrupt;
  }

  // A chunk's padding byte, which the RIFF's end may leave out.
  bool skip_padding(std::uint32_t size) noexcept {
    if ((size & 1) == 0 || left_ == 0) return true;
    --left_;
    return input_.skip(1);
  }

  // A chunk the decoder is not given, its header read: an EXIF chunk is
  // kept, an animation refused.
  status pass_chunk(const std::uint8_t* header, std::uint32_t size) noexcept {
    if (is_tag(header, "ANIM") || is_tag(header, "ANMF")) {
      return status::unsupported;
    }
    left_ -= size;
    // A simple-format file has no EXIF that counts: libwebp's demuxer,
    // which Pillow reads metadata through, sees none there.
    if (is_tag(header, "EXIF") && extended_ && !exif_seen_) {
      exif_seen_ = true;
      if (size <= exif_limit) {
        if (!read_exact(piece_.get(), size)) return status::corrupt;
        orientation_ = exif_orientation(piece_.get(), size);
        return skip_padding(size) ? status::ok : status::corrupt;
      }
    }
    return input_.skip(size) && skip_padding(size) ? status::ok
                                                   : status::corrupt;
  }

  status start_decoder(const std::vector<std::uint8_t>& held,
                       std::uint64_t max_pixels) noexcept {
    // The frame header, its size checked against the canvas.
    WebPBitstreamFeatures features{};
    const VP8StatusCode found =
        WebPGetFeatures(held.data(), held.size(), &features);
    if (found != VP8_STATUS_OK) return status_of(found);
    const auto width = static_cast<std::uint32_t>(features.width);
    const auto height = static_cast<std::uint32_t>(features.height);
    if (!within_pixel_limit(width, height, max_pixels)) {
      return status::pixel_limit;
    }
    width_ = width;
    height_ = height;
    row_bytes_ = std::size_t{width} * 3;
    const std::size_t size = row_bytes_ * height;
    pixels_ = static_cast<std::uint8_t*>(std::malloc(size));
    if (pixels_ == nullptr) return status::no_memory;
    decoder_ =
        WebPINewRGB(MODE_RGB, pixels_, size, static_cast<int>(row_bytes_));
    if (decoder_ == nullptr) return status::no_memory;
    return append(held.data(), held.size());
  }

  status append(const std::uint8_t* data, std::size_t size) noexcept {
    const VP8StatusCode code = WebPIAppend(decoder_, data, size);
    if (code != VP8_STATUS_OK && code != VP8_STATUS_SUSPENDED) {
      return status_of(code);
    }
    int last_y = 0;
    if (WebPIDecGetRGB(decoder_, &last_y, nullptr, nullptr, nullptr) !=
        nullptr) {
      ready_ = static_cast<std::uint32_t>(std::max(last_y, 0));
    }
    return status::ok;
  }

  // Gives the decoder the next piece of the image chunk.
  status feed() noexcept {
    const auto want = static_cast<std::size_t>(
        std::min<std::uint32_t>(image_left_, piece_bytes));
    // The chunk (or the input) ended before the image did.
    if (want == 0) return status::corrupt;
    const std::size_t got = input_.read(piece_.get(), want);
    if (got == 0) return status::corrupt;
    image_left_ -= static_cast<std::uint32_t>(got);
    return append(piece_.get(), got);
  }

  status read_to_end() noexcept {
    if (!input_.skip(image_left_)) return status::corrupt;
    image_left_ = 0;
    if (!skip_padding(image_size_)) return status::corrupt;
    while (left_ != 0) {
      std::uint8_t header[chunk_header_bytes];
      std::uint32_t size = 0;
      if (const status s = chunk_header(header, size); s != status::ok) {
        return s;
      }
      if (const status s = pass_chunk(header, size); s != status::ok) return s;
    }
    return status::ok;
  }

  stream_reader input_;
  std::unique_ptr<std::uint8_t[]> piece_;
  std::uint64_t left_ = 0;        // bytes of the RIFF not yet read
  std::uint32_t image_size_ = 0;  // the image chunk's
  std::uint32_t image_left_ = 0;  // of the image chunk, not yet read
  bool extended_ = false;         // VP8X came first
  bool exif_seen_ = false;
  std::uint8_t orientation_ = 1;
  WebPIDecoder* decoder_ = nullptr;
  std::uint8_t* pixels_ = nullptr;  // the decoder's output, RGB
  std::size_t row_bytes_ = 0;
  std::uint32_t ready_ = 0;  // rows the decoder has finished
  std::uint32_t next_ = 0;
};

}  // namespace

status open_webp_source(const source_bytes& in, std::uint64_t max_pixels,
                        std::unique_ptr<image_source>& out) noexcept {
  return open_as<webp_source>(in, max_pixels, out);
}

}  // namespace edgemap
