// The edge map turned upright by the source's EXIF orientation. Turning
// commutes with the edge map: the gray level is per pixel, the gradient's
// magnitude is the same under the eight quarter turns and mirrors of the
// Sobel kernels, and the zero border is a border either way. So the map of
// the stored grid is computed as ever, held a bit a pixel, and given to
// the target turned once the last row is in (a WebP tells its orientation
// only after its pixels).
#include <cstdlib>
#include <cstring>
#include <utility>

#include "pipeline/edge_sink.h"
#include "pipeline/image_source.h"

namespace edgemap {
namespace {

// Mask bytes a turned band holds.
constexpr std::size_t band_bytes = std::size_t{1} << 20;

class oriented_sink final : public edge_sink {
 public:
  oriented_sink(std::unique_ptr<edge_sink> inner,
                const image_source& source) noexcept
      : inner_(std::move(inner)), source_(source) {}
  ~oriented_sink() override {
    std::free(bits_);
    std::free(band_mask_);
    std::free(band_packed_);
  }

  bool wants_bottom_first() const noexcept override { return false; }

  status begin(std::uint32_t width, std::uint32_t height,
               bool bottom_first) noexcept override {
    width_ = width;
    height_ = height;
    bottom_first_ = bottom_first;
    row_bytes_ = (std::size_t{width} + 7) / 8;
    const std::uint64_t total = std::uint64_t{row_bytes_} * height;
    if (total > SIZE_MAX) return status::no_memory;
    bits_ = static_cast<std::uint8_t*>(
        std::calloc(total == 0 ? 1 : static_cast<std::size_t>(total), 1));
    return bits_ != nullptr ? status::ok : status::no_memory;
  }

  std::size_t packed_bytes(std::uint32_t count) const noexcept override {
    return row_bytes_ * count;
  }

  void pack(const std::uint8_t* mask, std::size_t stride, std::uint32_t count,
            std::uint8_t* out) const noexcept override {
    for (std::uint32_t r = 0; r < count; ++r) {
      const std::uint8_t* m = mask + r * stride;
      std::uint8_t* o = out + r * row_bytes_;
      std::memset(o, 0, row_bytes_);
      for (std::uint32_t x = 0; x < width_; ++x) {
        if (m[x] != 0) o[x >> 3] |= static_cast<std::uint8_t>(0x80u >> (x & 7));
      }
    }
  }

  status put_packed(const std::uint8_t* packed,
                    std::uint32_t count) noexcept override {
    for (std::uint32_t r = 0; r < count; ++r, ++rows_in_) {
      const std::uint32_t y = bottom_first_ ? height_ - 1 - rows_in_ : rows_in_;
      std::memcpy(bits_ + std::size_t{y} * row_bytes_, packed + r * row_bytes_,
                  row_bytes_);
    }
    return status::ok;
  }

  status finish() noexcept override {
    orientation_ = source_.orientation();
    if (orientation_ < 1 || orientation_ > 8) orientation_ = 1;
    const bool turned = orientation_ >= 5;
    const std::uint32_t out_width = turned ? height_ : width_;
    const std::uint32_t out_height = turned ? width_ : height_;
    const bool bottom_first = inner_->wants_bottom_first();
    status s = inner_->begin(out_width, out_height, bottom_first);
    if (s != status::ok || out_width == 0 || out_height == 0) {
      return s == status::ok ? inner_->finish() : s;
    }
    std::size_t rows = band_bytes / out_width;
    if (rows == 0) rows = 1;
    if (rows > out_height) rows = out_height;
    band_mask_ = static_cast<std::uint8_t*>(std::malloc(rows * out_width));
    band_packed_ = static_cast<std::uint8_t*>(
        std::malloc(inner_->packed_bytes(static_cast<std::uint32_t>(rows))));
    if (band_mask_ == nullptr || band_packed_ == nullptr) {
      return status::no_memory;
    }
    for (std::uint32_t done = 0; done < out_height;) {
      const auto n = static_cast<std::uint32_t>(
          out_height - done < rows ? out_height - done : rows);
      for (std::uint32_t r = 0; r < n; ++r) {
        const std::uint32_t y =
            bottom_first ? out_height - 1 - (done + r) : done + r;
        fill_row(y, out_width, band_mask_ + std::size_t{r} * out_width);
      }
      inner_->pack(band_mask_, out_width, n, band_packed_);
      s = inner_->put_packed(band_packed_, n);
      if (s != status::ok) return s;
      done += n;
    }
    return inner_->finish();
  }

 private:
  bool edge_at(std::uint32_t x, std::uint32_t y) const noexcept {
    return ((bits_[std::size_t{y} * row_bytes_ + (x >> 3)] >> (7 - (x & 7))) &
            1) != 0;
  }

  // Row y of the turned map, as mask bytes: each pixel's place in the
  // stored grid by the orientation's mirror and turn.
  void fill_row(std::uint32_t y, std::uint32_t out_width,
                std::uint8_t* out) const noexcept {
    const std::uint32_t w = width_ - 1;
    const std::uint32_t h = height_ - 1;
    for (std::uint32_t x = 0; x < out_width; ++x) {
      std::uint32_t sx = x;
      std::uint32_t sy = y;
      switch (orientation_) {
        case 2:
          sx = w - x;
          break;
        case 3:
          sx = w - x;
          sy = h - y;
          break;
        case 4:
          sy = h - y;
          break;
        case 5:
          sx = y;
          sy = x;
          break;
        case 6:
          sx = y;
          sy = h - x;
          break;
        case 7:
          sx = w - y;
          sy = h - x;
          break;
        case 8:
          sx = w - y;
          sy = x;
          break;
        default:
          break;
      }
      out[x] = edge_at(sx, sy) ? 1 : 0;
    }
  }

  std::unique_ptr<edge_sink> inner_;
  const image_source& source_;
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
  bool bottom_first_ = false;
  std::size_t row_bytes_ = 0;
  std::uint8_t* bits_ = nullptr;
  std::uint32_t rows_in_ = 0;
  std::uint8_t orientation_ = 1;
  std::uint8_t* band_mask_ = nullptr;
  std::uint8_t* band_packed_ = nullptr;
};

}  // namespace

std::unique_ptr<edge_sink> make_oriented_sink(std::unique_ptr<edge_sink> inner,
                                              const image_source& source) {
  return std::unique_ptr<edge_sink>(
      new (std::nothrow) oriented_sink(std::move(inner), source));
}

}  // namespace edgemap
