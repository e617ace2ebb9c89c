// TIFF sources and targets: every kind of stored sample read exactly (the
// edge map of the pixels the stored samples give, and those pixels
// checked against Pillow's decode wherever Pillow reads the file as this
// library must), from memory and from a file; the files refused and why;
// G4 and Deflate targets read back by libtiff and Pillow; the orientation
// a source reports. Images are written here with libtiff, and patched by
// hand where libtiff would not write them.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "edgemap.h"
#include "test_support.h"

#if EDGEMAP_HAS_CODECS
#include <tiffio.h>

#include "pipeline/image_source.h"
#include "pipeline/transcode.h"

namespace edgemap {
namespace {

using test::bytes;

constexpr std::uint32_t width = 37;  // partial tiles and bytes
constexpr std::uint32_t height = 23;

std::uint32_t mix(std::uint32_t r, std::uint32_t c, std::uint32_t k) {
  std::uint32_t x =
      (r / 3) * 0x9e3779b1u ^ (c / 2) * 0x85ebca77u ^ (k + 1) * 0xc2b2ae3du;
  x ^= x >> 15;
  x *= 0x2c1b3c6du;
  return x ^ x >> 12;
}

struct tiff_recipe {
  const char* name;
  std::uint16_t photometric;
  std::uint16_t bits;
  std::uint16_t compression = COMPRESSION_NONE;
  std::uint16_t spp = 0;                         // 0: the colour samples only
  std::uint16_t extra = EXTRASAMPLE_UNASSALPHA;  // what samples past them are
  std::uint16_t planar = PLANARCONFIG_CONTIG;
  std::uint32_t tile = 0;  // side of a tile; 0: strips
  const char* mode = "w";  // b: big-endian, 8: BigTIFF
  // Whether Pillow 9.4 decodes the file as the stored samples say (it
  // neither turns 16-bit MinIsWhite over, nor keeps premultiplied
  // colours, nor opens separate planes of 16 bits).
  bool pillow = true;
  bool two_pages = false;
  std::uint16_t sample_format = SAMPLEFORMAT_UINT;
  std::uint16_t orientation = 0;  // 0: no tag

  unsigned colours() const {
    return photometric == PHOTOMETRIC_RGB || photometric == PHOTOMETRIC_YCBCR ||
                   photometric == PHOTOMETRIC_CIELAB
               ? 3
           : photometric == PHOTOMETRIC_SEPARATED ? 4
                                                  : 1;
  }
  unsigned samples() const { return spp != 0 ? spp : colours(); }
  // Stored sample k of pixel (r, c).
  std::uint32_t sample(std::uint32_t r, std::uint32_t c, unsigned k) const {
    return bits >= 32 ? mix(r, c, k) : mix(r, c, k) >> (32 - bits);
  }
  // The palette's 16-bit entries: the low byte must not count.
  static std::uint16_t entry(std::uint32_t i, unsigned k) {
    return static_cast<std::uint16_t>(mix(i, i, k + 7));
  }
  // What pixel (r, c) must be, as the stored samples say.
  std::uint8_t expected(std::uint32_t r, std::uint32_t c, unsigned k) const {
    if (photometric == PHOTOMETRIC_PALETTE)
      return static_cast<std::uint8_t>(entry(sample(r, c, 0), k) >> 8);
    const std::uint32_t v =
        sample(r, c, photometric == PHOTOMETRIC_RGB ? k : 0);
    const auto level = static_cast<std::uint8_t>(
        bits >= 8 ? v >> (bits - 8) : v * 255 / ((1u << bits) - 1));
    return photometric == PHOTOMETRIC_MINISWHITE ? 255 - level : level;
  }
};

void put_sample(std::uint8_t* row, std::size_t i, unsigned bits,
                std::uint32_t v) {
  if (bits == 16) {
    const auto s = static_cast<std::uint16_t>(v);
    std::memcpy(row + 2 * i, &s, 2);  // libtiff swaps it for a big-endian file
  } else if (bits == 32) {
    std::memcpy(row + 4 * i, &v, 4);
  } else if (bits == 8) {
    row[i] = static_cast<std::uint8_t>(v);
  } else {
    const std::size_t bit = i * bits;
    row[bit / 8] |= static_cast<std::uint8_t>(v << (8 - bits - bit % 8));
  }
}

// Samples of plane p (every sample when contiguous) of a row of pixels
// [c0, c0 + n), in a buffer of `bytes`.
bytes sample_row(const tiff_recipe& t, std::uint32_t r, std::uint32_t c0,
                 std::uint32_t n, int p, std::size_t size) {
  bytes row(size, 0);
  const unsigned per = p < 0 ? t.samples() : 1;
  for (std::uint32_t c = 0; c < n && c0 + c < width; ++c) {
    for (unsigned k = 0; k < per; ++k) {
      put_sample(row.data(), std::size_t{c} * per + k, t.bits,
                 t.sample(r, c0 + c, p < 0 ? k : static_cast<unsigned>(p)));
    }
  }
  return row;
}

bool write_page(TIFF* tif, const tiff_recipe& t) {
  const bool jpeg = t.compression == COMPRESSION_JPEG;
  bool ok = TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width) &&
            TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height) &&
            TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, t.bits) &&
            TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, t.samples()) &&
            TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, t.sample_format) &&
            TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, t.photometric) &&
            TIFFSetField(tif, TIFFTAG_PLANARCONFIG, t.planar) &&
            TIFFSetField(tif, TIFFTAG_COMPRESSION, t.compression);
  if (t.samples() > t.colours()) {
    const std::vector<std::uint16_t> extra(t.samples() - t.colours(), t.extra);
    ok = ok &&
         TIFFSetField(tif, TIFFTAG_EXTRASAMPLES,
                      static_cast<std::uint16_t>(extra.size()), extra.data());
  }
  if (t.orientation != 0) {
    ok = ok && TIFFSetField(tif, TIFFTAG_ORIENTATION, t.orientation);
  }
  if (t.photometric == PHOTOMETRIC_PALETTE) {
    std::vector<std::uint16_t> map[3];
    for (unsigned k = 0; k < 3; ++k) {
      for (std::uint32_t i = 0; i < 1u << t.bits; ++i) {
        map[k].push_back(tiff_recipe::entry(i, k));
      }
    }
    ok = ok && TIFFSetField(tif, TIFFTAG_COLORMAP, map[0].data(), map[1].data(),
                            map[2].data());
  }
  // libtiff turns the RGB given into YCbCr, subsampled.
  if (t.photometric == PHOTOMETRIC_YCBCR) {
    ok = ok && TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
  }
  if (!ok) return false;
  const int planes = t.planar == PLANARCONFIG_SEPARATE ? int(t.samples()) : 0;
  auto probe = [&](int p) { return planes == 0 ? -1 : p; };
  if (t.tile != 0) {
    if (!TIFFSetField(tif, TIFFTAG_TILEWIDTH, t.tile) ||
        !TIFFSetField(tif, TIFFTAG_TILELENGTH, t.tile)) {
      return false;
    }
    const auto tile_row = static_cast<std::size_t>(TIFFTileRowSize64(tif));
    for (int p = 0; p < (planes == 0 ? 1 : planes); ++p) {
      for (std::uint32_t y = 0; y < height; y += t.tile) {
        for (std::uint32_t x = 0; x < width; x += t.tile) {
          bytes tile;
          for (std::uint32_t j = 0; j < t.tile; ++j) {
            const bytes row = y + j < height ? sample_row(t, y + j, x, t.tile,
                                                          probe(p), tile_row)
                                             : bytes(tile_row, 0);
            tile.insert(tile.end(), row.begin(), row.end());
          }
          if (TIFFWriteTile(tif, tile.data(), x, y, 0,
                            static_cast<std::uint16_t>(p)) < 0) {
            return false;
          }
        }
      }
    }
    return TIFFWriteDirectory(tif) == 1;
  }
  // JPEG's strips hold whole rows of 2 x 2 subsampled blocks.
  if (!TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, jpeg ? 16 : 5)) return false;
  const auto size = static_cast<std::size_t>(TIFFScanlineSize64(tif));
  for (int p = 0; p < (planes == 0 ? 1 : planes); ++p) {
    for (std::uint32_t r = 0; r < height; ++r) {
      bytes row = sample_row(t, r, 0, width, probe(p), size);
      if (TIFFWriteScanline(tif, row.data(), r,
                            static_cast<std::uint16_t>(p)) != 1) {
        return false;
      }
    }
  }
  return TIFFWriteDirectory(tif) == 1;
}

bytes write_tiff(const tiff_recipe& t, const std::string& path) {
  TIFF* const tif = TIFFOpen(path.c_str(), t.mode);
  if (tif == nullptr) return {};
  bool ok = write_page(tif, t);
  if (ok && t.two_pages) {
    tiff_recipe second = t;
    second.bits = 8;
    second.photometric = PHOTOMETRIC_MINISWHITE;
    second.compression = COMPRESSION_NONE;
    second.spp = 0;
    ok = write_page(tif, second);
  }
  TIFFClose(tif);
  return ok ? test::read_file(path) : bytes{};
}

// Pixels (three bytes each) as Pillow decodes the TIFF at path, 16-bit
// gray by its high byte; empty when Pillow cannot be asked.
bytes pillow_pixels(const test::temp_dir& dir, const std::string& path) {
  static const bool present =
      std::system("/usr/bin/python3 -c 'import PIL' 2>/dev/null") == 0;
  if (!present) return {};
  const std::string script = dir.path("decode.py");
  const std::string text =
      "import sys\n"
      "from PIL import Image\n"
      "im = Image.open(sys.argv[1])\n"
      "if im.mode in ('I;16', 'I;16B'):\n"
      "    high = im.tobytes()[im.mode == 'I;16'::2]\n"
      "    data = bytes(v for v in high for _ in range(3))\n"
      "else:\n"
      "    data = im.convert('RGB').tobytes()\n"
      "open(sys.argv[2], 'wb').write(data)\n";
  test::write_file(script, bytes(text.begin(), text.end()));
  const std::string out = dir.path("pillow.raw");
  const std::string command =
      "/usr/bin/python3 " + script + " " + path + " " + out;
  if (std::system(command.c_str()) != 0) return {'?'};
  return test::read_file(out);
}

// The edge map, 1 for an edge, of pixels of three bytes.
bytes reference_mask(const bytes& pixels) {
  auto gray = [&](std::int64_t r, std::int64_t c) -> int {
    if (r < 0 || c < 0 || r >= height || c >= width) return 0;
    const std::uint8_t* p =
        &pixels[(std::size_t(r) * width + std::size_t(c)) * 3];
    return (p[0] + p[1] + p[2]) / 3;
  };
  bytes mask(std::size_t{width} * height);
  for (std::uint32_t r = 0; r < height; ++r) {
    for (std::uint32_t c = 0; c < width; ++c) {
      mask[r * width + c] = test::integer_edge(gray, r, c) ? 1 : 0;
    }
  }
  return mask;
}

edgemap_options options_for(int format, unsigned bits) {
  edgemap_options o;
  edgemap_options_init(&o);
  o.format = format;
  o.bits = bits;
  return o;
}

std::uint32_t u32_le(const bytes& b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 |
         std::uint32_t{b[at + 3]} << 24;
}

// The edge map of an 8-bit bitmap target, 1 for an edge, top row first.
bytes bitmap_mask(const bytes& bmp) {
  if (bmp.size() < 54) return {};
  const std::uint32_t offset = u32_le(bmp, 10);
  const std::uint32_t w = u32_le(bmp, 18);
  const std::uint32_t h = u32_le(bmp, 22);
  const std::size_t stride = (w + 3) & ~3u;
  bytes mask(std::size_t{w} * h);
  for (std::uint32_t r = 0; r < h; ++r) {
    for (std::uint32_t c = 0; c < w; ++c) {
      mask[r * w + c] = bmp[offset + (h - 1 - r) * stride + c] == 0;
    }
  }
  return mask;
}

// printed by name in gtest's messages
void PrintTo(const tiff_recipe& t, std::ostream* os) { *os << t.name; }

class tiff_sources : public ::testing::TestWithParam<tiff_recipe> {};

TEST_P(tiff_sources, give_the_edge_map_of_their_stored_samples) {
  const tiff_recipe& t = GetParam();
  test::temp_dir dir;
  const std::string path = dir.path("s.tif");
  const bytes tiff = write_tiff(t, path);
  ASSERT_FALSE(tiff.empty());
  const bytes pillow = pillow_pixels(dir, path);
  bytes pixels;
  if (t.compression == COMPRESSION_JPEG) {
    // Lossy: what the samples decode to is the decoder's to say.
    if (pillow.empty()) GTEST_SKIP() << "Pillow is needed for JPEG";
    pixels = pillow;
  } else {
    for (std::uint32_t r = 0; r < height; ++r) {
      for (std::uint32_t c = 0; c < width; ++c) {
        for (unsigned k = 0; k < 3; ++k) pixels.push_back(t.expected(r, c, k));
      }
    }
    if (t.pillow && !pillow.empty()) {
      EXPECT_EQ(pillow, pixels) << "Pillow";
    }
  }
  ASSERT_EQ(pixels.size(), std::size_t{width} * height * 3);
  const bytes mask = reference_mask(pixels);
  const edgemap_options o = options_for(EDGEMAP_FORMAT_BMP, 8);
  void* out = nullptr;
  std::size_t size = 0;
  ASSERT_EQ(
      edgemap_convert_memory_ex(tiff.data(), tiff.size(), &out, &size, &o),
      EDGEMAP_OK);
  const auto* b = static_cast<const std::uint8_t*>(out);
  EXPECT_EQ(bitmap_mask(bytes(b, b + size)), mask) << "from memory";
  edgemap_free(out);
  ASSERT_EQ(
      edgemap_convert_file_ex(path.c_str(), dir.path("t.bmp").c_str(), &o),
      EDGEMAP_OK);
  EXPECT_EQ(bitmap_mask(test::read_file(dir.path("t.bmp"))), mask)
      << "from a file";
}

constexpr std::uint16_t gray = PHOTOMETRIC_MINISBLACK;
constexpr std::uint16_t white = PHOTOMETRIC_MINISWHITE;
constexpr std::uint16_t rgb = PHOTOMETRIC_RGB;
constexpr std::uint16_t palette = PHOTOMETRIC_PALETTE;
constexpr std::uint16_t separate = PLANARCONFIG_SEPARATE;

INSTANTIATE_TEST_SUITE_P(
    tiff, tiff_sources,
    ::testing::Values(
        tiff_recipe{"gray_1", gray, 1},
        tiff_recipe{"gray_2_lzw", gray, 2, COMPRESSION_LZW},
        tiff_recipe{"gray_4_packbits", gray, 4, COMPRESSION_PACKBITS},
        tiff_recipe{"gray_8_deflate", gray, 8, COMPRESSION_ADOBE_DEFLATE},
        tiff_recipe{"gray_16", gray, 16},
        tiff_recipe{"gray_16_big_endian_lzw", gray, 16, COMPRESSION_LZW, 0, 0,
                    1, 0, "wb"},
        tiff_recipe{"white_1_g4", white, 1, COMPRESSION_CCITTFAX4},
        tiff_recipe{"white_1_g3", white, 1, COMPRESSION_CCITTFAX3},
        tiff_recipe{"white_1_rle", white, 1, COMPRESSION_CCITTRLE},
        tiff_recipe{"white_4", white, 4}, tiff_recipe{"white_8", white, 8},
        tiff_recipe{"white_16", white, 16, 1, 0, 0, 1, 0, "w", false},
        tiff_recipe{"rgb_8_lzw", rgb, 8, COMPRESSION_LZW},
        tiff_recipe{"rgb_16_deflate", rgb, 16, COMPRESSION_ADOBE_DEFLATE},
        tiff_recipe{"palette_1", palette, 1},
        tiff_recipe{"palette_2", palette, 2},
        tiff_recipe{"palette_4_packbits", palette, 4, COMPRESSION_PACKBITS},
        tiff_recipe{"palette_8_lzw", palette, 8, COMPRESSION_LZW},
        tiff_recipe{"gray_alpha_8", gray, 8, 1, 2},
        tiff_recipe{"rgba_8", rgb, 8, 1, 4},
        tiff_recipe{"rgba_premultiplied_8", rgb, 8, 1, 4,
                    EXTRASAMPLE_ASSOCALPHA, 1, 0, "w", false},
        tiff_recipe{"rgb_8_separate", rgb, 8, COMPRESSION_LZW, 0, 0, separate},
        tiff_recipe{"rgba_16_separate", rgb, 16, 1, 4, 2, separate, 0, "w",
                    false},
        tiff_recipe{"rgb_8_tiles", rgb, 8, COMPRESSION_ADOBE_DEFLATE, 0, 0, 1,
                    16},
        tiff_recipe{"rgb_8_separate_tiles", rgb, 8, 1, 0, 0, separate, 16},
        tiff_recipe{"palette_4_tiles", palette, 4, 1, 0, 0, 1, 16},
        tiff_recipe{"gray_16_tiles_big_endian", gray, 16, 1, 0, 0, 1, 16, "wb"},
        tiff_recipe{"bigtiff_gray_8", gray, 8, COMPRESSION_LZW, 0, 0, 1, 0,
                    "w8"},
        tiff_recipe{"bigtiff_rgb_8_tiles", rgb, 8, 1, 0, 0, 1, 16, "w8"},
        tiff_recipe{"jpeg_ycbcr", PHOTOMETRIC_YCBCR, 8, COMPRESSION_JPEG},
        tiff_recipe{"jpeg_ycbcr_tiles", PHOTOMETRIC_YCBCR, 8, COMPRESSION_JPEG,
                    0, 0, 1, 16},
        tiff_recipe{"jpeg_rgb", rgb, 8, COMPRESSION_JPEG},
        tiff_recipe{"jpeg_gray", gray, 8, COMPRESSION_JPEG},
        tiff_recipe{"first_of_two_pages", rgb, 8, 1, 0, 0, 1, 0, "w", true,
                    true}),
    [](const auto& tc) { return std::string(tc.param.name); });

// Sets the first value of a tag in a little-endian classic TIFF's first
// directory, widening a single short to a long when the value needs it.
bool patch(bytes& tiff, std::uint16_t tag, std::uint32_t value) {
  const std::uint32_t dir = u32_le(tiff, 4);
  const std::uint32_t count = tiff[dir] | tiff[dir + 1] << 8;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t e = dir + 2 + 12 * std::size_t{i};
    if ((tiff[e] | tiff[e + 1] << 8) != tag) continue;
    const bool is_short = tiff[e + 2] == TIFF_SHORT;
    std::size_t at = e + 8;
    if (u32_le(tiff, e + 4) * (is_short ? 2u : 4u) > 4) at = u32_le(tiff, at);
    if (is_short && at == e + 8 && value > 0xffff) tiff[e + 2] = TIFF_LONG;
    const int n = tiff[e + 2] == TIFF_SHORT ? 2 : 4;
    for (int b = 0; b < n; ++b) tiff[at + b] = std::uint8_t(value >> 8 * b);
    return true;
  }
  return false;
}

struct refusal {
  const char* what;
  tiff_recipe recipe;
  std::vector<std::pair<std::uint16_t, std::uint32_t>> patches;
  int status;
};

TEST(tiff_sources, refuse_what_they_cannot_read_with_its_reason) {
  const tiff_recipe rgb8{"", rgb, 8};
  const tiff_recipe tiled{"", rgb, 8, 1, 0, 0, 1, 16};
  constexpr int unsupported = EDGEMAP_ERROR_UNSUPPORTED;
  const refusal cases[] = {
      {"cmyk", {"", PHOTOMETRIC_SEPARATED, 8}, {}, unsupported},
      {"float",
       {"", gray, 32, 1, 0, 0, 1, 0, "w", 1, 0, SAMPLEFORMAT_IEEEFP},
       {},
       unsupported},
      {"signed",
       {"", gray, 8, 1, 0, 0, 1, 0, "w", 1, 0, SAMPLEFORMAT_INT},
       {},
       unsupported},
      {"32-bit integers", {"", gray, 32}, {}, unsupported},
      {"lab", {"", PHOTOMETRIC_CIELAB, 8}, {}, unsupported},
      {"logluv",
       rgb8,
       {{TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_LOGLUV}},
       unsupported},
      {"ycbcr without jpeg",
       rgb8,
       {{TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_YCBCR}},
       unsupported},
      {"old-style jpeg",
       {"", gray, 8},
       {{TIFFTAG_COMPRESSION, COMPRESSION_OJPEG}},
       unsupported},
      {"2^31 rows",
       rgb8,
       {{TIFFTAG_IMAGELENGTH, 1u << 31}},
       EDGEMAP_ERROR_PIXEL_LIMIT},
      {"a strip past the end",
       rgb8,
       {{TIFFTAG_STRIPOFFSETS, 60000}},
       EDGEMAP_ERROR_CORRUPT},
      {"a strip's length past the end",
       rgb8,
       {{TIFFTAG_STRIPBYTECOUNTS, 60000}},
       EDGEMAP_ERROR_CORRUPT},
      {"a tile past the end",
       tiled,
       {{TIFFTAG_TILEOFFSETS, 60000}},
       EDGEMAP_ERROR_CORRUPT},
      {"tiles 0 wide", tiled, {{TIFFTAG_TILEWIDTH, 0}}, EDGEMAP_ERROR_CORRUPT},
      {"tiles of 65536 x 65536",
       tiled,
       {{TIFFTAG_TILEWIDTH, 65536}, {TIFFTAG_TILELENGTH, 65536}},
       EDGEMAP_ERROR_CORRUPT},
      {"a few bytes declaring 65536 x 65536",
       {"", gray, 8, COMPRESSION_ADOBE_DEFLATE},
       {{TIFFTAG_IMAGEWIDTH, 65536}, {TIFFTAG_IMAGELENGTH, 65536}},
       EDGEMAP_ERROR_PIXEL_LIMIT},
      {"corrupt deflate data",
       {"", gray, 8, COMPRESSION_ADOBE_DEFLATE},
       {{TIFFTAG_STRIPOFFSETS, 0}},
       EDGEMAP_ERROR_CORRUPT},
  };
  test::temp_dir dir;
  for (const refusal& c : cases) {
    bytes tiff = write_tiff(c.recipe, dir.path("s.tif"));
    ASSERT_FALSE(tiff.empty()) << c.what;
    for (const auto& [tag, value] : c.patches) {
      ASSERT_TRUE(patch(tiff, tag, value)) << c.what;
    }
    test::write_file(dir.path("s.tif"), tiff);
    const edgemap_options o = options_for(EDGEMAP_FORMAT_PNG, 0);
    void* out = nullptr;
    std::size_t size = 0;
    EXPECT_EQ(
        edgemap_convert_memory_ex(tiff.data(), tiff.size(), &out, &size, &o),
        c.status)
        << c.what;
    edgemap_free(out);
    EXPECT_EQ(edgemap_convert_file_ex(dir.path("s.tif").c_str(),
                                      dir.path("t.png").c_str(), &o),
              c.status)
        << c.what << ", from a file";
  }
}

TEST(tiff_sources, report_their_first_directorys_orientation) {
  const std::pair<std::uint32_t, std::uint8_t> cases[] = {
      {0, 1}, {1, 1}, {6, 6}, {8, 8}, {9, 1}};
  test::temp_dir dir;
  for (const auto& [tag, reported] : cases) {
    tiff_recipe t{"", rgb, 8};
    t.orientation = tag == 0 ? 0 : 1;
    t.two_pages = true;  // the second page has none
    bytes tiff = write_tiff(t, dir.path("s.tif"));
    ASSERT_TRUE(tag == 0 || patch(tiff, TIFFTAG_ORIENTATION, tag));
    std::unique_ptr<image_source> source;
    ASSERT_EQ(
        open_tiff_source(source_bytes{tiff.data(), tiff.size()}, 0, source),
        status::ok);
    EXPECT_EQ(source->orientation(), reported) << "tag " << tag;
  }
}

// A target as libtiff reads it back.
struct read_back {
  std::uint16_t bits = 0, compression = 0, photometric = 0;
  std::uint32_t strips = 0;
  bytes mask;  // 1 for an edge
};

read_back read_tiff_target(const std::string& path) {
  read_back t;
  TIFF* const tif = TIFFOpen(path.c_str(), "r");
  if (tif == nullptr) return t;
  std::uint32_t w = 0, h = 0;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
  TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &t.bits);
  TIFFGetField(tif, TIFFTAG_COMPRESSION, &t.compression);
  TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &t.photometric);
  t.strips = TIFFNumberOfStrips(tif);
  bytes row(static_cast<std::size_t>(TIFFScanlineSize64(tif)));
  for (std::uint32_t r = 0; r < h && TIFFReadScanline(tif, row.data(), r) == 1;
       ++r) {
    for (std::uint32_t c = 0; c < w; ++c) {
      t.mask.push_back(static_cast<std::uint8_t>(
          t.bits == 1 ? (row[c / 8] >> (7 - c % 8)) & 1 : row[c] == 0));
    }
  }
  TIFFClose(tif);
  return t;
}

// 2000 x 300: 1-bit rows of 250 bytes and 8-bit rows of 2000, so that
// each target has strips of many rows and the 8-bit one several strips.
TEST(tiff_targets, hold_the_edge_map_wherever_they_go) {
  test::bmp_recipe source{
      2000, 300, 24, 54, [](std::uint32_t r, std::uint32_t c, std::uint32_t k) {
        return std::uint8_t(mix(r / 7, c / 5, k) >> 24);
      }};
  const bytes bmp = test::make_bmp(source);
  test::temp_dir dir;
  test::write_file(dir.path("s.bmp"), bmp);
  const edgemap_options eight = options_for(EDGEMAP_FORMAT_BMP, 8);
  ASSERT_EQ(edgemap_convert_file_ex(dir.path("s.bmp").c_str(),
                                    dir.path("t.bmp").c_str(), &eight),
            EDGEMAP_OK);
  const bytes mask = bitmap_mask(test::read_file(dir.path("t.bmp")));
  for (const unsigned bits : {1u, 8u}) {
    SCOPED_TRACE(bits);
    const edgemap_options o = options_for(EDGEMAP_FORMAT_TIFF, bits);
    const std::string file = dir.path("t.tif");
    ASSERT_EQ(
        edgemap_convert_file_ex(dir.path("s.bmp").c_str(), file.c_str(), &o),
        EDGEMAP_OK);
    const read_back t = read_tiff_target(file);
    EXPECT_EQ(t.bits, bits);
    EXPECT_EQ(t.compression,
              bits == 1 ? COMPRESSION_CCITTFAX4 : COMPRESSION_ADOBE_DEFLATE);
    EXPECT_EQ(t.photometric,
              bits == 1 ? PHOTOMETRIC_MINISWHITE : PHOTOMETRIC_MINISBLACK);
    EXPECT_EQ(t.strips, bits == 1 ? 2u : 10u);
    EXPECT_EQ(t.mask, mask);
    // Black edges on white, as a viewer shows them.
    const bytes pillow = pillow_pixels(dir, file);
    if (!pillow.empty()) {
      ASSERT_EQ(pillow.size(), mask.size() * 3);
      for (std::size_t i = 0; i < mask.size(); ++i) {
        ASSERT_EQ(pillow[3 * i], mask[i] != 0 ? 0 : 255) << "pixel " << i;
      }
    }
    // The same bytes in memory and through a stream that cannot seek.
    const bytes written = test::read_file(file);
    void* out = nullptr;
    std::size_t size = 0;
    ASSERT_EQ(
        edgemap_convert_memory_ex(bmp.data(), bmp.size(), &out, &size, &o),
        EDGEMAP_OK);
    const auto* b = static_cast<const std::uint8_t*>(out);
    EXPECT_EQ(bytes(b, b + size), written) << "memory";
    edgemap_free(out);
    std::FILE* const stream = std::tmpfile();
    ASSERT_NE(stream, nullptr);
    destination to;
    to.stream = stream;
    transcode_options options;
    options.format = target_format::tiff;
    options.bits = bits;
    EXPECT_EQ(transcode_bytes(bmp.data(), bmp.size(), to, options).failure(),
              status::ok);
    bytes streamed(written.size() + 1);
    std::rewind(stream);
    streamed.resize(std::fread(streamed.data(), 1, streamed.size(), stream));
    std::fclose(stream);
    EXPECT_EQ(streamed, written) << "stream";
  }
}

}  // namespace
}  // namespace edgemap

#endif  // EDGEMAP_HAS_CODECS
