#include "image_fuzz.h"

#include <spng.h>
#include <tiffio.h>

#include <cstring>
#include <memory>
#include <vector>

#include "codecs/tiff_io.h"
#include "edgemap.h"
#include "fuzz_support.h"

namespace edgemap::fuzz {
namespace {

// An edge map read back from a target: one byte per pixel, 0 or 255, top
// row first.
struct gray_image {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  bytes pixels;

  bool operator==(const gray_image&) const = default;
};

std::uint8_t pixel_value(unsigned v) {
  if (v != 0 && v != 255) {
    fail("target pixel is neither black nor white");
  }
  return static_cast<std::uint8_t>(v);
}

// Pixel c of a row of one bit per pixel, the first in the high bit.
bool bit_at(const std::uint8_t* row, std::uint32_t c) {
  return ((row[c / 8] >> (7 - c % 8)) & 1) != 0;
}

// A bottom-up bitmap of 1, 8 or 24 bits as the _ex functions write it.
gray_image read_bmp(const bytes& t) {
  const std::uint8_t* h = t.data();
  const std::size_t n = t.size();
  if (n < 54 || h[0] != 'B' || h[1] != 'M' || u32_at(h, n, 2) != n ||
      u32_at(h, n, 14) != 40 || h[26] != 1 || h[27] != 0) {
    fail("bitmap target has a wrong header");
  }
  const unsigned bits = h[28] | (unsigned{h[29]} << 8);
  const std::uint32_t colours = bits == 1 ? 2 : bits == 8 ? 256 : 0;
  if ((bits != 1 && bits != 8 && bits != 24) ||
      u32_at(h, n, 10) != 54 + 4 * colours || u32_at(h, n, 46) != colours) {
    fail("bitmap target has a wrong depth or palette size");
  }
  for (std::uint32_t i = 0; i < colours; ++i) {
    const auto v = static_cast<std::uint8_t>(bits == 1 ? i * 255 : i);
    const std::uint8_t* e = h + 54 + std::size_t{4} * i;
    if (e[0] != v || e[1] != v || e[2] != v || e[3] != 0) {
      fail("bitmap target palette is not gray");
    }
  }
  gray_image g;
  g.width = u32_at(h, n, 18);
  const auto height = static_cast<std::int32_t>(u32_at(h, n, 22));
  if (height < 0) {
    fail("bitmap target is top-down");
  }
  g.height = static_cast<std::uint32_t>(height);
  const std::uint64_t stride = ((std::uint64_t{g.width} * bits + 31) / 32) * 4;
  const std::size_t at = 54 + 4 * colours;
  if (at + stride * g.height != n) {
    fail("bitmap target length differs from its header");
  }
  g.pixels.resize(std::size_t{g.width} * g.height);
  for (std::uint32_t r = 0; r < g.height; ++r) {
    const std::uint8_t* row = h + at + (g.height - 1 - r) * stride;
    std::uint8_t* out = g.pixels.data() + std::size_t{r} * g.width;
    for (std::uint32_t c = 0; c < g.width; ++c) {
      if (bits == 1) {
        out[c] = bit_at(row, c) ? 255 : 0;
      } else if (bits == 8) {
        out[c] = pixel_value(row[c]);
      } else {
        const std::uint8_t* p = row + 3 * std::size_t{c};
        if (p[1] != p[0] || p[2] != p[0]) {
          fail("bitmap target pixel is not gray");
        }
        out[c] = pixel_value(p[0]);
      }
    }
    const std::uint64_t used = (std::uint64_t{g.width} * bits + 7) / 8;
    for (std::uint64_t i = used; i < stride; ++i) {
      if (row[i] != 0) {
        fail("bitmap target row padding is not zero");
      }
    }
    if (bits == 1 && g.width % 8 != 0 &&
        (row[g.width / 8] & (0xff >> (g.width % 8))) != 0) {
      fail("bitmap target has bits set past the last pixel");
    }
  }
  return g;
}

// A gray PNG of 1 or 8 bits, decoded by libspng with CRC checks on.
gray_image read_png(const bytes& t, unsigned want_bits) {
  const std::unique_ptr<spng_ctx, decltype(&spng_ctx_free)> ctx(spng_ctx_new(0),
                                                                spng_ctx_free);
  spng_ihdr ihdr{};
  std::size_t length = 0;
  if (!ctx || spng_set_png_buffer(ctx.get(), t.data(), t.size()) != 0 ||
      spng_get_ihdr(ctx.get(), &ihdr) != 0 ||
      spng_decoded_image_size(ctx.get(), SPNG_FMT_PNG, &length) != 0) {
    fail("PNG target does not decode");
  }
  if (ihdr.color_type != SPNG_COLOR_TYPE_GRAYSCALE ||
      ihdr.bit_depth != want_bits || ihdr.interlace_method != 0) {
    fail("PNG target is not gray at the depth asked for");
  }
  bytes packed(length);
  if (spng_decode_image(ctx.get(), packed.data(), length, SPNG_FMT_PNG, 0) !=
      0) {
    fail("PNG target does not decode");
  }
  gray_image g;
  g.width = ihdr.width;
  g.height = ihdr.height;
  const std::size_t stride = (std::size_t{g.width} * want_bits + 7) / 8;
  g.pixels.resize(std::size_t{g.width} * g.height);
  for (std::uint32_t r = 0; r < g.height; ++r) {
    const std::uint8_t* row = packed.data() + r * stride;
    std::uint8_t* out = g.pixels.data() + std::size_t{r} * g.width;
    for (std::uint32_t c = 0; c < g.width; ++c) {
      out[c] =
          want_bits == 1 ? (bit_at(row, c) ? 255 : 0) : pixel_value(row[c]);
    }
  }
  return g;
}

// A TIFF target, read by libtiff: a G4 page (MinIsWhite, bit 1 an edge)
// for 1 bit, Deflate gray for 8.
gray_image read_tiff(const bytes& t, unsigned want_bits) {
  tiff_messages messages;
  tiff_input input;
  input.bytes.data = t.data();
  input.bytes.size = t.size();
  const tiff_ptr tif(open_tiff_input(input, "r", messages));
  std::uint16_t bits = 0;
  std::uint16_t spp = 0;
  std::uint16_t compression = 0;
  std::uint16_t photometric = 0;
  gray_image g;
  if (!tif || TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &g.width) == 0 ||
      TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &g.height) == 0 ||
      TIFFGetField(tif.get(), TIFFTAG_BITSPERSAMPLE, &bits) == 0 ||
      TIFFGetField(tif.get(), TIFFTAG_SAMPLESPERPIXEL, &spp) == 0 ||
      TIFFGetField(tif.get(), TIFFTAG_COMPRESSION, &compression) == 0 ||
      TIFFGetField(tif.get(), TIFFTAG_PHOTOMETRIC, &photometric) == 0) {
    fail("TIFF target does not open");
  }
  const bool bilevel = want_bits == 1;
  if (bits != want_bits || spp != 1 ||
      compression !=
          (bilevel ? COMPRESSION_CCITTFAX4 : COMPRESSION_ADOBE_DEFLATE) ||
      photometric !=
          (bilevel ? PHOTOMETRIC_MINISWHITE : PHOTOMETRIC_MINISBLACK)) {
    fail("TIFF target is not of the kind asked for");
  }
  bytes row(static_cast<std::size_t>(TIFFScanlineSize64(tif.get())));
  g.pixels.resize(std::size_t{g.width} * g.height);
  for (std::uint32_t r = 0; r < g.height; ++r) {
    if (TIFFReadScanline(tif.get(), row.data(), r, 0) != 1 || messages.error ||
        messages.warning) {
      fail("TIFF target does not decode");
    }
    std::uint8_t* out = g.pixels.data() + std::size_t{r} * g.width;
    for (std::uint32_t c = 0; c < g.width; ++c) {
      out[c] =
          bilevel ? (bit_at(row.data(), c) ? 0 : 255) : pixel_value(row[c]);
    }
  }
  return g;
}

bool is_tiff(const bytes& t) {
  return t.size() >= 4 && t[0] == 'I' && t[1] == 'I' && t[2] == 42 && t[3] == 0;
}

bool is_png(const bytes& t) {
  static constexpr std::uint8_t signature[] = {0x89, 'P',  'N',  'G',
                                               '\r', '\n', 0x1a, '\n'};
  return t.size() >= sizeof signature &&
         std::memcmp(t.data(), signature, sizeof signature) == 0;
}

bool is_refusal(int status) {
  switch (status) {
    case EDGEMAP_ERROR_HEADER:
    case EDGEMAP_ERROR_BIT_COUNT:
    case EDGEMAP_ERROR_TOO_LARGE:
    case EDGEMAP_ERROR_NO_MEMORY:
    case EDGEMAP_ERROR_TRUNCATED:
    case EDGEMAP_ERROR_UNSUPPORTED:
    case EDGEMAP_ERROR_PIXEL_LIMIT:
    case EDGEMAP_ERROR_CORRUPT:
      return true;
    default:
      return false;
  }
}

// Converts, checks the outcome's shape, and reads a target back. Returns
// false when the image was refused.
bool convert(const bytes& image, const edgemap_options& options, int& status,
             gray_image& result) {
  void* out = nullptr;
  std::size_t out_size = 0;
  status = edgemap_convert_memory_ex(image.data(), image.size(), &out,
                                     &out_size, &options);
  const std::unique_ptr<void, decltype(&edgemap_free)> owned(out, edgemap_free);
  if (status != EDGEMAP_OK) {
    if (!is_refusal(status)) {
      fail("a status no memory conversion of valid options may give");
    }
    if (out != nullptr || out_size != 0) {
      fail("a refused image left output behind");
    }
    return false;
  }
  if (out == nullptr || out_size == 0) {
    fail("a converted image gave no output");
  }
  const auto* p = static_cast<const std::uint8_t*>(out);
  const bytes target(p, p + out_size);
  // The harnesses' sources are never bitmaps, so AUTO means PNG, or TIFF
  // for a TIFF source.
  if (options.format == EDGEMAP_FORMAT_BMP) {
    if (is_png(target)) fail("a BMP target came out as PNG");
    result = read_bmp(target);
    const unsigned bits = target[28];
    if (bits != (options.bits == 0 ? 24u : options.bits)) {
      fail("the bitmap target's depth is not the one asked for");
    }
  } else if (options.format == EDGEMAP_FORMAT_AUTO && is_tiff(target)) {
    result = read_tiff(target, options.bits == 0 ? 1 : options.bits);
  } else {
    if (!is_png(target)) fail("a PNG target lacks the PNG signature");
    result = read_png(target, options.bits == 0 ? 1 : options.bits);
  }
  if (options.max_pixels != 0 &&
      std::uint64_t{result.width} * result.height > options.max_pixels) {
    fail("an image above the pixel limit was converted");
  }
  return true;
}

}  // namespace

void run_image_input(std::uint8_t first, std::uint8_t second,
                     const bytes& image) {
  static constexpr int formats[] = {EDGEMAP_FORMAT_AUTO, EDGEMAP_FORMAT_BMP,
                                    EDGEMAP_FORMAT_PNG, EDGEMAP_FORMAT_PNG};
  static constexpr unsigned bmp_bits[] = {0, 1, 8, 24};
  static constexpr unsigned png_bits[] = {0, 1, 8, 8};
  static constexpr std::uint64_t limits[] = {1u << 20, 1u << 14, 256, 1u << 20};
  edgemap_options options;
  edgemap_options_init(&options);
  options.format = formats[first & 3];
  const unsigned depth = (first >> 2) & 3u;
  options.bits =
      options.format == EDGEMAP_FORMAT_BMP ? bmp_bits[depth] : png_bits[depth];
  options.threads = (first & 0x10) != 0 ? 2 : 1;
  options.max_pixels = limits[(first >> 5) & 3];
  options.threshold = (first & 0x80) != 0 ? second : 90.0;

  int status = 0;
  gray_image converted;
  if (!convert(image, options, status, converted)) {
    return;
  }
  // The same decision, one thread, written by the other writer at 8 bits:
  // the thread count and the target format never change a pixel.
  edgemap_options other = options;
  other.threads = 1;
  other.format = options.format == EDGEMAP_FORMAT_BMP ? EDGEMAP_FORMAT_PNG
                                                      : EDGEMAP_FORMAT_BMP;
  other.bits = 8;
  int other_status = 0;
  gray_image again;
  if (!convert(image, other, other_status, again)) {
    if (other_status == EDGEMAP_ERROR_NO_MEMORY) {
      return;
    }
    fail("an image converted once was refused the second time");
  }
  if (!(converted == again)) {
    fail("the thread count or the target format changed the edge map");
  }
}

}  // namespace edgemap::fuzz
