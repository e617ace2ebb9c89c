// make_tiff WIDTH HEIGHT PATH [TILE]: writes an 8-bit RGB LZW TIFF of a
// photo-like picture (smooth gradients, and noise unless the picture is
// larger than 16 Mpixel), in strips of about 64 KiB, or in TILE x TILE
// tiles. Rows or a row of tiles at a time, so that pictures of gigabytes
// take a few MiB to make. Without noise a large picture compresses well and
// is quick to write; the edge map's memory does not depend on it.
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr std::uint64_t noisy_pixels = std::uint64_t{1} << 24;

// The picture of bench/codecs_bench.cpp, from tables: cos(y / 23 + x / 91)
// by its sum formula, so each pixel costs a few multiplications.
class picture {
 public:
  picture(std::uint32_t width, std::uint32_t height)
      : width_(width),
        noise_(std::uint64_t{width} * height <= noisy_pixels),
        wave_(width),
        cos_x_(width),
        sin_x_(width) {
    for (std::uint32_t x = 0; x < width; ++x) {
      const double fx = x;
      wave_[x] = static_cast<float>(std::sin(fx / 37.0) * 70 + 128);
      cos_x_[x] = static_cast<float>(std::cos(fx / 91.0));
      sin_x_[x] = static_cast<float>(std::sin(fx / 91.0));
    }
  }

  bool noisy() const { return noise_; }

  void row(std::uint32_t y, std::uint8_t* out) {
    const double fy = y;
    const auto cos_y = static_cast<float>(std::cos(fy / 23.0));
    const auto sin_y = static_cast<float>(std::sin(fy / 23.0));
    const auto stripe = static_cast<float>(30 * std::sin(fy / 11.0));
    for (std::uint32_t x = 0; x < width_; ++x) {
      float a =
          wave_[x] + 50 * (cos_y * cos_x_[x] - sin_y * sin_x_[x]) + noise();
      out[3 * std::size_t{x}] = clip(a);
      out[3 * std::size_t{x} + 1] = clip(a * 0.8f + stripe);
      out[3 * std::size_t{x} + 2] = clip(255 - a * 0.9f);
    }
  }

 private:
  static std::uint8_t clip(float v) {
    return static_cast<std::uint8_t>(v < 0 ? 0.0f : v > 255 ? 255.0f : v);
  }

  // Roughly the spread of a normal noise of deviation 6: the sum of two
  // uniform ones.
  float noise() {
    if (!noise_) return 0;
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return static_cast<float>(static_cast<int>(state_ & 0xff) +
                              static_cast<int>((state_ >> 8) & 0xff) - 255) /
           12.0f;
  }

  std::uint32_t width_;
  bool noise_;
  std::vector<float> wave_, cos_x_, sin_x_;
  std::uint32_t state_ = 0x2545F491u;
};

bool write_strips(TIFF* tif, picture& p, std::uint32_t width,
                  std::uint32_t height) {
  const std::size_t row_bytes = std::size_t{width} * 3;
  const auto rows = static_cast<std::uint32_t>(
      std::max<std::size_t>(1, (std::size_t{64} << 10) / row_bytes));
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rows);
  std::vector<std::uint8_t> row(row_bytes);
  for (std::uint32_t y = 0; y < height; ++y) {
    p.row(y, row.data());
    if (TIFFWriteScanline(tif, row.data(), y, 0) != 1) return false;
  }
  return true;
}

bool write_tiles(TIFF* tif, picture& p, std::uint32_t width,
                 std::uint32_t height, std::uint32_t tile) {
  TIFFSetField(tif, TIFFTAG_TILEWIDTH, tile);
  TIFFSetField(tif, TIFFTAG_TILELENGTH, tile);
  const std::size_t row_bytes = std::size_t{width} * 3;
  const std::size_t tile_row = std::size_t{tile} * 3;
  std::vector<std::uint8_t> band(row_bytes * tile);
  std::vector<std::uint8_t> block(tile_row * tile);
  for (std::uint32_t top = 0; top < height; top += tile) {
    // Rows past the bottom repeat the last one, as tiles must be whole.
    for (std::uint32_t j = 0; j < tile; ++j) {
      p.row(std::min(top + j, height - 1), band.data() + j * row_bytes);
    }
    for (std::uint32_t left = 0; left < width; left += tile) {
      const std::size_t n = std::min(tile, width - left) * std::size_t{3};
      std::fill(block.begin(), block.end(), std::uint8_t{0});
      for (std::uint32_t j = 0; j < tile; ++j) {
        std::copy_n(band.data() + j * row_bytes + std::size_t{left} * 3, n,
                    block.data() + j * tile_row);
      }
      const tmsize_t size = static_cast<tmsize_t>(block.size());
      if (TIFFWriteTile(tif, block.data(), left, top, 0, 0) != size) {
        return false;
      }
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    (void)std::fputs("usage: make_tiff WIDTH HEIGHT PATH [TILE]\n", stderr);
    return 2;
  }
  const auto width =
      static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10));
  const auto height =
      static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
  const auto tile = static_cast<std::uint32_t>(
      argc == 5 ? std::strtoul(argv[4], nullptr, 10) : 0);
  if (width == 0 || height == 0 || tile % 16 != 0) {
    (void)std::fputs("make_tiff: sizes above 0, tiles a multiple of 16\n",
                     stderr);
    return 2;
  }
  // BigTIFF when the pixels alone pass 4 GiB.
  const bool big =
      std::uint64_t{width} * height * 3 >= (std::uint64_t{1} << 32);
  TIFF* tif = TIFFOpen(argv[3], big ? "w8" : "w");
  if (tif == nullptr) return 1;
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
  picture p(width, height);
  // Differences of neighbours: smooth gradients without noise then take a
  // fifth of their bytes.
  if (!p.noisy()) TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
  const bool ok = tile == 0 ? write_strips(tif, p, width, height)
                            : write_tiles(tif, p, width, height, tile);
  TIFFClose(tif);
  return ok ? 0 : 1;
}
