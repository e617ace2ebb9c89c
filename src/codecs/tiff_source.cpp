// TIFF sources through libtiff: the first directory (page) of a classic or
// BigTIFF file. The stored samples decide the pixels, never a conversion:
// rows come through libtiff's scanline interface, or a row of tiles at a
// time through its tile interface, and are expanded here. Its RGBA
// interface is not used, as it rescales 16-bit samples, weighs colours by
// an associated alpha, turns fax pages by their orientation and refuses 2-
// and 4-bit gray. A row of a stripped image is decoded on its own, however
// many rows a strip holds; a tiled image takes one row of tiles at a time.
// Either way the memory taken is independent of the height.
//
// libtiff's complaints while the directory is read concern tags (an
// unknown one, a count off by one) and the image is read as libtiff reads
// it; any error or warning while pixels are decoded means damaged data,
// which is refused, as the JPEG source refuses every warning of libjpeg.
#include <tiffio.h>

#include <cstring>
#include <new>

#include "codecs/tiff_io.h"
#include "pipeline/image_source.h"

namespace edgemap {
namespace {

using byte_buffer = std::unique_ptr<std::uint8_t[]>;

// Each channel of a row of samples becomes bytes of the three a pixel has.
struct sample_layout {
  unsigned bits = 8;      // per sample: 1, 2, 4, 8 or 16
  unsigned channels = 1;  // 1: through levels; 3: red, green and blue
  bool separate = false;  // each channel in a plane of its own
  std::size_t step = 1;   // samples from one pixel to the next in a row
  // A gray or palette sample (a 16-bit one by its high byte) as the three
  // bytes of its pixel.
  std::uint8_t levels[256][3] = {};
};

// Sample i of a row, a 16-bit one (in the machine's order, as libtiff
// leaves it) by its high byte.
template <unsigned bits>
std::uint8_t sample_at(const std::uint8_t* row, std::size_t i) noexcept {
  if constexpr (bits == 8) {
    return row[i];
  } else if constexpr (bits == 16) {
    std::uint16_t v = 0;
    std::memcpy(&v, row + 2 * i, 2);
    return static_cast<std::uint8_t>(v >> 8);
  } else {
    // Packed from the high bit down.
    const std::size_t bit = i * bits;
    return static_cast<std::uint8_t>((row[bit / 8] >> (8 - bits - bit % 8)) &
                                     ((1u << bits) - 1));
  }
}

// Channel k of `count` pixels of a row into their pixels' bytes.
template <unsigned bits>
void expand(const sample_layout& l, unsigned k, const std::uint8_t* row,
            std::uint32_t count, std::uint8_t* out) noexcept {
  const std::size_t first = l.separate ? 0 : k;
  if (l.channels == 1) {
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint8_t* level =
          l.levels[sample_at<bits>(row, first + i * l.step)];
      out[3 * std::size_t{i}] = level[0];
      out[3 * std::size_t{i} + 1] = level[1];
      out[3 * std::size_t{i} + 2] = level[2];
    }
    return;
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    out[3 * std::size_t{i} + k] = sample_at<bits>(row, first + i * l.step);
  }
}

void expand_channel(const sample_layout& l, unsigned k, const std::uint8_t* row,
                    std::uint32_t count, std::uint8_t* out) noexcept {
  switch (l.bits) {
    case 1:
      return expand<1>(l, k, row, count, out);
    case 2:
      return expand<2>(l, k, row, count, out);
    case 4:
      return expand<4>(l, k, row, count, out);
    case 8:
      return expand<8>(l, k, row, count, out);
    default:
      return expand<16>(l, k, row, count, out);
  }
}

// The codecs read here: those the format's users write, and that every
// build of libtiff this library is built with has, so that a file reads
// the same everywhere. Old-style JPEG is not among them.
bool readable_compression(std::uint16_t compression) noexcept {
  switch (compression) {
    case COMPRESSION_NONE:
    case COMPRESSION_LZW:
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE:
    case COMPRESSION_PACKBITS:
    case COMPRESSION_CCITTRLE:
    case COMPRESSION_CCITTFAX3:
    case COMPRESSION_CCITTFAX4:
    case COMPRESSION_JPEG:
      return TIFFIsCODECConfigured(compression) != 0;
    default:
      return false;
  }
}

// The gray level of each n-bit sample, scaled to 0-255 as PNG's are; a
// 16-bit sample's by its high byte. MinIsWhite turns it over, so the gray
// is what a viewer shows.
void gray_levels(sample_layout& l, bool min_is_white) noexcept {
  const unsigned n = l.bits >= 8 ? 256 : 1u << l.bits;
  for (unsigned v = 0; v < n; ++v) {
    auto g = static_cast<std::uint8_t>(v * 255 / (n - 1));
    if (min_is_white) g = static_cast<std::uint8_t>(255 - g);
    l.levels[v][0] = l.levels[v][1] = l.levels[v][2] = g;
  }
}

// The pixels of the largest tile an image smaller than it may have: 1024 x
// 1024, beyond the tiles writers use.
constexpr std::uint64_t largest_small_tile = std::uint64_t{1} << 20;

class tiff_source final : public image_source {
 public:
  status open(const source_bytes& in, std::uint64_t max_pixels) noexcept {
    TIFF* const tif = open_plane(0, in);
    if (tif == nullptr) return messages_.failure();
    if (TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width_) == 0 ||
        TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height_) == 0) {
      return status::corrupt;
    }
    if (!within_pixel_limit(width_, height_, max_pixels)) {
      return status::pixel_limit;
    }
    std::uint16_t o = 1;
    if (TIFFGetField(tif, TIFFTAG_ORIENTATION, &o) != 0 && o >= 1 && o <= 8) {
      orientation_ = static_cast<std::uint8_t>(o);
    }
    status s = judge_samples(tif);
    if (s == status::ok) s = tiled_ ? prepare_tiles(tif) : prepare_strips(in);
    // What libtiff said of the directory is settled; from here on its
    // messages are about the pixels.
    messages_ = tiff_messages{};
    return s;
  }

  std::uint8_t orientation() const noexcept override { return orientation_; }

  status read_rows(std::uint8_t* out, std::size_t stride,
                   std::uint32_t count) noexcept override {
    for (std::uint32_t i = 0; i < count; ++i, ++next_) {
      if (next_ >= height_) return status::corrupt;
      const status s =
          tiled_ ? tile_row(out + i * stride) : strip_row(out + i * stride);
      if (s != status::ok) return s;
    }
    return status::ok;
  }

 private:
  TIFF* open_plane(unsigned p, const source_bytes& in) noexcept {
    inputs_[p].bytes = in;
    // O: strip and tile offsets are read as they are needed, not as
    // arrays whose length the directory declares.
    handles_[p].reset(open_tiff_input(inputs_[p], "rO", messages_));
    return handles_[p].get();
  }

  // The kind of samples and how they become pixels.
  status judge_samples(TIFF* tif) noexcept {
    std::uint16_t bits = 1;
    std::uint16_t spp = 1;
    std::uint16_t format = SAMPLEFORMAT_UINT;
    std::uint16_t planar = PLANARCONFIG_CONTIG;
    std::uint16_t compression = COMPRESSION_NONE;
    std::uint16_t photometric = 0;
    if (TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits) == 0 ||
        TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp) == 0 ||
        TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format) == 0 ||
        TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar) == 0 ||
        TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression) == 0 ||
        TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric) == 0) {
      return status::corrupt;
    }
    if (!readable_compression(compression) || format != SAMPLEFORMAT_UINT) {
      return status::unsupported;
    }
    const bool jpeg = compression == COMPRESSION_JPEG;
    sample_layout& l = layout_;
    l.bits = bits;
    switch (photometric) {
      case PHOTOMETRIC_MINISBLACK:
      case PHOTOMETRIC_MINISWHITE:
        if (bits != 1 && bits != 2 && bits != 4 && bits != 8 && bits != 16) {
          return status::unsupported;
        }
        gray_levels(l, photometric == PHOTOMETRIC_MINISWHITE);
        break;
      case PHOTOMETRIC_PALETTE: {
        if (bits != 1 && bits != 2 && bits != 4 && bits != 8) {
          return status::unsupported;
        }
        std::uint16_t* red = nullptr;
        std::uint16_t* green = nullptr;
        std::uint16_t* blue = nullptr;
        if (TIFFGetField(tif, TIFFTAG_COLORMAP, &red, &green, &blue) == 0) {
          return status::corrupt;
        }
        for (unsigned v = 0; v < 1u << bits; ++v) {
          l.levels[v][0] = static_cast<std::uint8_t>(red[v] >> 8);
          l.levels[v][1] = static_cast<std::uint8_t>(green[v] >> 8);
          l.levels[v][2] = static_cast<std::uint8_t>(blue[v] >> 8);
        }
        break;
      }
      case PHOTOMETRIC_YCBCR:
        // Only as JPEG stores it, which libjpeg turns into RGB; the
        // subsampled planes of any other YCbCr are not read here.
        if (!jpeg || planar == PLANARCONFIG_SEPARATE || spp != 3) {
          return status::unsupported;
        }
        if (TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB) == 0) {
          return status::corrupt;
        }
        l.channels = 3;
        break;
      case PHOTOMETRIC_RGB:
        if (bits != 8 && bits != 16) return status::unsupported;
        l.channels = 3;
        break;
      default:  // CMYK, Lab, LogLuv and the rest
        return status::unsupported;
    }
    if (jpeg && bits != 8) return status::unsupported;
    if (spp < l.channels) return status::corrupt;
    l.separate = planar == PLANARCONFIG_SEPARATE && spp > 1;
    l.step = l.separate ? 1 : spp;
    tiled_ = TIFFIsTiled(tif) != 0;
    return status::ok;
  }

  // A row of samples at a time; a handle of its own for each plane read,
  // so that each reads its strips in order.
  status prepare_strips(const source_bytes& in) noexcept {
    planes_ = layout_.separate ? layout_.channels : 1;
    for (unsigned p = 1; p < planes_; ++p) {
      if (open_plane(p, in) == nullptr) return messages_.failure();
    }
    return allocate(block_, TIFFScanlineSize64(handles_[0].get()));
  }

  // A tile at a time, expanded into a row of tiles' pixels.
  status prepare_tiles(TIFF* tif) noexcept {
    if (TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tile_width_) == 0 ||
        TIFFGetField(tif, TIFFTAG_TILELENGTH, &tile_height_) == 0 ||
        tile_width_ == 0 || tile_height_ == 0) {
      return status::corrupt;
    }
    // Tiles come in multiples of 16 pixels, and a small image may sit in
    // one tile of a usual size; a tile larger than both is no tiling of
    // this image, only a way to make a small file ask for much memory.
    const auto round = [](std::uint32_t n) {
      return (std::uint64_t{n} + 15) / 16 * 16;
    };
    const std::uint64_t tile = std::uint64_t{tile_width_} * tile_height_;
    const std::uint64_t image = round(width_) * round(height_);
    if (tile > image && tile > largest_small_tile) return status::corrupt;
    planes_ = layout_.separate ? layout_.channels : 1;
    tile_bytes_ = TIFFTileSize64(tif);
    tile_row_bytes_ = TIFFTileRowSize64(tif);
    const std::uint32_t rows = tile_height_ < height_ ? tile_height_ : height_;
    const status s = allocate(block_, tile_bytes_);
    if (s != status::ok) return s;
    // At most three bytes for each pixel the image has.
    return allocate(band_, std::uint64_t{width_} * 3 * rows, SIZE_MAX);
  }

  static status allocate(byte_buffer& buffer, std::uint64_t size,
                         std::uint64_t limit = tiff_block_limit) noexcept {
    if (size == 0) return status::corrupt;
    if (size > limit) return status::no_memory;
    // Within the limit, which is at most SIZE_MAX: a size_t holds it.
    buffer.reset(new (std::nothrow)
                     std::uint8_t[static_cast<std::size_t>(size)]);
    return buffer ? status::ok : status::no_memory;
  }

  // Whether strip or tile `strile` lies within the file, judged before
  // libtiff takes a buffer of the length it declares. One past the end is
  // data cut short, as a PNG's or a JPEG's is.
  status within_file(TIFF* tif, std::uint32_t strile) const noexcept {
    int bad = 0;
    const std::uint64_t offset = TIFFGetStrileOffsetWithErr(tif, strile, &bad);
    const std::uint64_t bytes =
        bad != 0 ? 0 : TIFFGetStrileByteCountWithErr(tif, strile, &bad);
    if (bad != 0) return messages_.failure();
    const std::uint64_t size = inputs_[0].size;
    return offset > size || bytes > size - offset ? status::corrupt
                                                  : status::ok;
  }

  // Whether libtiff's last call went as it should.
  status decoded(bool done) const noexcept {
    return done && !messages_.error && !messages_.warning ? status::ok
                                                          : messages_.failure();
  }

  // Channels of plane p in `count` pixels of a row of samples.
  void expand_plane(unsigned p, const std::uint8_t* row, std::uint32_t count,
                    std::uint8_t* out) const noexcept {
    if (layout_.separate) return expand_channel(layout_, p, row, count, out);
    if (layout_.channels == 3 && layout_.bits == 8 && layout_.step == 3) {
      // Already three bytes a pixel, as most RGB files are: a copy, where
      // a channel at a time took a sixth of a conversion's time.
      std::memcpy(out, row, std::size_t{count} * 3);
      return;
    }
    for (unsigned k = 0; k < layout_.channels; ++k) {
      expand_channel(layout_, k, row, count, out);
    }
  }

  status strip_row(std::uint8_t* out) noexcept {
    for (unsigned p = 0; p < planes_; ++p) {
      TIFF* const tif = handles_[p].get();
      const auto sample = static_cast<std::uint16_t>(p);
      const std::uint32_t strip = TIFFComputeStrip(tif, next_, sample);
      if (strip != strip_[p]) {
        const status s = within_file(tif, strip);
        if (s != status::ok) return s;
        strip_[p] = strip;
      }
      const status s =
          decoded(TIFFReadScanline(tif, block_.get(), next_, sample) == 1);
      if (s != status::ok) return s;
      expand_plane(p, block_.get(), width_, out);
    }
    return status::ok;
  }

  status tile_row(std::uint8_t* out) noexcept {
    const std::size_t row_bytes = std::size_t{width_} * 3;
    if (next_ % tile_height_ == 0) {
      const status s = read_tiles(next_);
      if (s != status::ok) return s;
    }
    std::memcpy(out, band_.get() + (next_ % tile_height_) * row_bytes,
                row_bytes);
    return status::ok;
  }

  // The row of tiles starting at row `top`, into band_.
  status read_tiles(std::uint32_t top) noexcept {
    TIFF* const tif = handles_[0].get();
    const std::uint32_t rows =
        height_ - top < tile_height_ ? height_ - top : tile_height_;
    for (std::uint32_t x = 0; x < width_; x += tile_width_) {
      const std::uint32_t count =
          width_ - x < tile_width_ ? width_ - x : tile_width_;
      for (unsigned p = 0; p < planes_; ++p) {
        const std::uint32_t tile =
            TIFFComputeTile(tif, x, top, 0, static_cast<std::uint16_t>(p));
        status s = within_file(tif, tile);
        if (s != status::ok) return s;
        s = decoded(TIFFReadEncodedTile(tif, tile, block_.get(),
                                        static_cast<tmsize_t>(tile_bytes_)) >=
                    0);
        if (s != status::ok) return s;
        for (std::uint32_t j = 0; j < rows; ++j) {
          expand_plane(p, block_.get() + j * tile_row_bytes_, count,
                       band_.get() + (std::size_t{j} * width_ + x) * 3);
        }
      }
      if (width_ - x <= tile_width_) break;
    }
    return status::ok;
  }

  // Declared before the handles, which report to them until closed.
  tiff_messages messages_;
  tiff_input inputs_[3];
  tiff_ptr handles_[3];
  sample_layout layout_;
  unsigned planes_ = 1;  // planes read, each through a handle for strips
  bool tiled_ = false;
  std::uint8_t orientation_ = 1;
  std::uint32_t next_ = 0;  // the next row to deliver
  std::uint32_t strip_[3] = {UINT32_MAX, UINT32_MAX, UINT32_MAX};  // checked
  std::uint32_t tile_width_ = 0;
  std::uint32_t tile_height_ = 0;
  std::uint64_t tile_bytes_ = 0;
  std::uint64_t tile_row_bytes_ = 0;
  byte_buffer block_;  // a row of samples, or a tile
  byte_buffer band_;   // a row of tiles as pixels
};

}  // namespace

status open_tiff_source(const source_bytes& in, std::uint64_t max_pixels,
                        std::unique_ptr<image_source>& out) noexcept {
  return open_as<tiff_source>(in, max_pixels, out);
}

}  // namespace edgemap
