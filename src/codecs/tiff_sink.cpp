// Edge maps as TIFFs for scan and GIS pipelines, written with libtiff a
// row at a time into strips: 1 bit per pixel with CCITT G4 compression,
// the bilevel format document tools expect, MinIsWhite as fax and scans
// have it (bit 1 black, an edge), or 8-bit gray with Deflate at level 1
// (as PNG targets are written: edge maps are long runs of white). No date
// or software tag, so the same image gives the same bytes every time.
// libtiff links the header to the directory it writes last by seeking
// back; a target that cannot seek (standard output) gets the file built
// in memory and written at the end.
#include <tiffio.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "codecs/tiff_io.h"
#include "pipeline/edge_sink.h"

namespace edgemap {
namespace {

// Raw bytes a strip holds at most: small enough to decode a strip at a
// time in little memory, large enough that each strip's restart (G4's
// white reference line, a zlib stream's header) costs nothing.
constexpr std::size_t strip_bytes = std::size_t{64} << 10;

// Past this many pixels a worst-case G4 or Deflate map could pass the 4
// GiB classic TIFF addresses: BigTIFF then.
constexpr std::uint64_t big_tiff_pixels = std::uint64_t{1} << 31;

constexpr int deflate_level = 1;

class tiff_sink final : public edge_sink {
 public:
  tiff_sink(byte_output& out, unsigned bits) noexcept
      : out_(out), bits_(bits), io_(out) {}
  ~tiff_sink() override {
    // Whatever libtiff would still write belongs to no target now.
    io_.detach();
  }

  bool wants_bottom_first() const noexcept override { return false; }

  status begin(std::uint32_t width, std::uint32_t height,
               bool bottom_first) noexcept override {
    if (bottom_first) return status::argument;
    // TIFF has no empty images.
    if (width == 0 || height == 0) return status::unsupported;
    width_ = width;
    row_bytes_ = packed_row_bytes(width, bits_);
    row_.reset(new (std::nothrow) std::uint8_t[row_bytes_]);
    if (!row_) return status::no_memory;
    holding_ = !out_.seek(0);
    if (holding_) io_ = tiff_output(held_);
    const bool big = std::uint64_t{width} * height > big_tiff_pixels;
    // Little-endian whatever the machine, for the same bytes everywhere.
    tif_.reset(open_tiff_output(io_, big ? "w8l" : "wl", messages_));
    if (!tif_) return failure();
    const bool bilevel = bits_ == 1;
    const std::size_t per_strip = strip_bytes / row_bytes_;
    const std::uint32_t rows = per_strip == 0 ? 1
                               : per_strip >= height
                                   ? height
                                   : static_cast<std::uint32_t>(per_strip);
    TIFF* const t = tif_.get();
    const bool set =
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, width) != 0 &&
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, height) != 0 &&
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, bits_) != 0 &&
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1) != 0 &&
        TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) != 0 &&
        TIFFSetField(
            t, TIFFTAG_PHOTOMETRIC,
            bilevel ? PHOTOMETRIC_MINISWHITE : PHOTOMETRIC_MINISBLACK) != 0 &&
        TIFFSetField(
            t, TIFFTAG_COMPRESSION,
            bilevel ? COMPRESSION_CCITTFAX4 : COMPRESSION_ADOBE_DEFLATE) != 0 &&
        (bilevel || TIFFSetField(t, TIFFTAG_ZIPQUALITY, deflate_level) != 0) &&
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rows) != 0;
    return set ? status::ok : failure();
  }

  std::size_t packed_bytes(std::uint32_t count) const noexcept override {
    return row_bytes_ * count;
  }

  void pack(const std::uint8_t* mask, std::size_t stride, std::uint32_t count,
            std::uint8_t* out) const noexcept override {
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint8_t* const row = out + i * row_bytes_;
      if (bits_ != 1) {
        pack_gray(mask + i * stride, width_, row);
        continue;
      }
      // pack_bits gives white 1; MinIsWhite wants an edge 1. Bits past
      // the last pixel stay 0.
      pack_bits(mask + i * stride, width_, row);
      for (std::size_t b = 0; b < row_bytes_; ++b) {
        row[b] = static_cast<std::uint8_t>(~row[b]);
      }
      if (width_ % 8 != 0) {
        row[row_bytes_ - 1] &=
            static_cast<std::uint8_t>(0xff00u >> (width_ % 8));
      }
    }
  }

  status put_packed(const std::uint8_t* packed,
                    std::uint32_t count) noexcept override {
    for (std::uint32_t i = 0; i < count; ++i, ++next_) {
      // libtiff's codecs may work in the row they are given.
      std::memcpy(row_.get(), packed + i * row_bytes_, row_bytes_);
      if (TIFFWriteScanline(tif_.get(), row_.get(), next_, 0) != 1) {
        return failure();
      }
    }
    return status::ok;
  }

  status finish() noexcept override {
    if (!tif_ || TIFFFlush(tif_.get()) != 1) return failure();
    tif_.reset();
    io_.detach();
    if (holding_) {
      std::size_t size = 0;
      void* const bytes = held_.release(size);
      if (bytes == nullptr && size != 0) return status::no_memory;
      out_.write(bytes, size);
      std::free(bytes);
    }
    return out_.failed() ? status::write : status::ok;
  }

 private:
  status failure() const noexcept {
    if (out_.failed()) return status::write;
    if (held_.failed() || messages_.out_of_memory) return status::no_memory;
    return status::write;
  }

  byte_output& out_;
  unsigned bits_;
  byte_output held_;  // the file, where out_ cannot seek
  bool holding_ = false;
  tiff_messages messages_;
  tiff_output io_;
  tiff_ptr tif_;  // after io_ and messages_, which it uses until closed
  std::unique_ptr<std::uint8_t[]> row_;  // the row libtiff is given
  std::size_t row_bytes_ = 0;
  std::uint32_t width_ = 0;
  std::uint32_t next_ = 0;
};

}  // namespace

std::unique_ptr<edge_sink> make_tiff_sink(byte_output& out, unsigned bits) {
  return std::unique_ptr<edge_sink>(new (std::nothrow) tiff_sink(out, bits));
}

}  // namespace edgemap
