// The _ex conversions where no image decoder is needed to check them:
// bitmap sources through every bitmap target, upright whatever the
// source's row order and wherever the target goes; the options and their
// refusals; declared sizes past the pixel limit in each format.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "edgemap.h"
#include "test_support.h"

namespace edgemap {
namespace {

using test::bytes;

std::uint8_t speckle(std::uint32_t r, std::uint32_t c, std::uint32_t b) {
  return static_cast<std::uint8_t>(
      ((r / 3) * 97 + (c / 2) * 57 + b * 31) * 2654435761u >> 25);
}

edgemap_options options(int format, unsigned bits, unsigned threads = 0) {
  edgemap_options o;
  edgemap_options_init(&o);
  o.format = format;
  o.bits = bits;
  o.threads = threads;
  return o;
}

// The mask of a bitmap's picture, top row first.
std::vector<std::uint8_t> upright_mask(const bytes& bmp, std::uint32_t width,
                                       std::int32_t height_field,
                                       std::uint32_t bpp) {
  const std::uint32_t height = height_field < 0
                                   ? static_cast<std::uint32_t>(-height_field)
                                   : static_cast<std::uint32_t>(height_field);
  const auto stride = static_cast<std::ptrdiff_t>(test::stride_of(width, bpp));
  const std::uint8_t* first = bmp.data() + 54;
  // A bottom-up file's top row is its last.
  if (height_field > 0) first += stride * (height - 1);
  std::vector<std::uint8_t> mask(std::size_t{width} * height);
  EXPECT_EQ(edgemap_detect_mask(first, height_field > 0 ? -stride : stride, bpp,
                                mask.data(), width, width, height, 90, 1),
            EDGEMAP_OK);
  return mask;
}

// Pixel (r, c) of the picture a bottom-up target bitmap holds, 0 or 255.
int target_pixel(const bytes& t, std::uint32_t r, std::uint32_t c) {
  const std::uint32_t width = t[18] | t[19] << 8 | t[20] << 16;
  const std::uint32_t height = t[22] | t[23] << 8 | t[24] << 16;
  const unsigned bits = t[28];
  const std::uint32_t offset = t[10] | t[11] << 8;
  const std::size_t stride = ((std::size_t{width} * bits + 31) / 32) * 4;
  const std::uint8_t* row = t.data() + offset + (height - 1 - r) * stride;
  if (bits == 1) return (row[c / 8] >> (7 - c % 8) & 1) != 0 ? 255 : 0;
  return row[c * bits / 8];
}

struct bitmap_case {
  std::int32_t width, height;  // height < 0: top-down source
  std::uint16_t source_bits;
  unsigned bits;
  bool to_file;
  unsigned threads;
};

class bitmap_targets : public ::testing::TestWithParam<bitmap_case> {};

// 700 pixels of 3 or 4 bytes make a band of about 500 rows: 1200 rows are
// three bands, with seams.
TEST_P(bitmap_targets, hold_the_upright_mask) {
  const bitmap_case& k = GetParam();
  const bytes source =
      test::make_bmp({k.width, k.height, k.source_bits, 54, speckle});
  const auto width = static_cast<std::uint32_t>(k.width);
  const std::uint32_t height =
      static_cast<std::uint32_t>(k.height < 0 ? -k.height : k.height);
  const auto mask = upright_mask(source, width, k.height, k.source_bits / 8u);
  const edgemap_options o = options(EDGEMAP_FORMAT_BMP, k.bits, k.threads);
  bytes target;
  if (k.to_file) {
    test::temp_dir dir;
    test::write_file(dir.path("s.bmp"), source);
    ASSERT_EQ(edgemap_convert_file_ex(dir.path("s.bmp").c_str(),
                                      dir.path("t.bmp").c_str(), &o),
              EDGEMAP_OK);
    target = test::read_file(dir.path("t.bmp"));
  } else {
    void* out = nullptr;
    std::size_t size = 0;
    ASSERT_EQ(edgemap_convert_memory_ex(source.data(), source.size(), &out,
                                        &size, &o),
              EDGEMAP_OK);
    const auto* b = static_cast<const std::uint8_t*>(out);
    target.assign(b, b + size);
    edgemap_free(out);
  }
  ASSERT_GE(target.size(), 54u);
  const std::size_t stride = ((std::size_t{width} * k.bits + 31) / 32) * 4;
  const std::size_t palette = k.bits == 24 ? 0 : 4u << k.bits;
  ASSERT_EQ(target.size(), 54 + palette + stride * height);
  ASSERT_EQ(target[28], k.bits);
  for (std::uint32_t r = 0; r < height; ++r) {
    for (std::uint32_t c = 0; c < width; ++c) {
      ASSERT_EQ(target_pixel(target, r, c), mask[r * width + c] ? 0 : 255)
          << "row " << r << " column " << c;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    formats, bitmap_targets,
    ::testing::Values(bitmap_case{9, 5, 24, 1, false, 1},
                      bitmap_case{9, -5, 32, 8, false, 0},
                      bitmap_case{33, 7, 24, 24, true, 1},
                      bitmap_case{700, 1200, 24, 1, true, 0},
                      bitmap_case{700, -1200, 24, 1, true, 0},
                      bitmap_case{700, -1200, 32, 24, false, 0},
                      bitmap_case{701, 1200, 24, 8, true, 1}));

// A bitmap at the default depth is the 1.1 conversion, byte for byte.
TEST(formats, bitmap_at_default_depth_is_the_legacy_target) {
  const bytes source = test::make_bmp({37, -11, 32, 54, speckle});
  void* legacy = nullptr;
  void* now = nullptr;
  std::size_t legacy_size = 0;
  std::size_t now_size = 0;
  ASSERT_EQ(edgemap_convert_memory(source.data(), source.size(), &legacy,
                                   &legacy_size, 90, 0),
            EDGEMAP_OK);
  ASSERT_EQ(edgemap_convert_memory_ex(source.data(), source.size(), &now,
                                      &now_size, nullptr),
            EDGEMAP_OK);
  ASSERT_EQ(now_size, legacy_size);
  EXPECT_EQ(std::memcmp(now, legacy, now_size), 0);
  edgemap_free(legacy);
  edgemap_free(now);
}

bytes png_declaring(std::uint32_t width, std::uint32_t height) {
  bytes b = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n',
             0,    0,   0,   13,  'I',  'H',  'D',  'R'};
  for (std::uint32_t v : {width, height}) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(std::uint8_t(v >> s));
  }
  const std::uint8_t rest[] = {8, 2, 0, 0, 0};
  b.insert(b.end(), rest, rest + 5);
  // The chunk's CRC-32 over type and data.
  std::uint32_t crc = 0xffffffffu;
  for (std::size_t i = 12; i < b.size(); ++i) {
    crc ^= b[i];
    for (int k = 0; k < 8; ++k)
      crc = crc >> 1 ^ (0xedb88320u & (0 - (crc & 1)));
  }
  crc ^= 0xffffffffu;
  for (int s = 24; s >= 0; s -= 8) b.push_back(std::uint8_t(crc >> s));
  return b;
}

bytes jpeg_declaring(std::uint16_t width, std::uint16_t height) {
  // SOI, a baseline frame header of three components and the start of a
  // scan: all a decoder reads before the first pixel.
  return {0xff,
          0xd8,
          0xff,
          0xc0,
          0,
          17,
          8,
          std::uint8_t(height >> 8),
          std::uint8_t(height),
          std::uint8_t(width >> 8),
          std::uint8_t(width),
          3,
          1,
          0x22,
          0,
          2,
          0x11,
          1,
          3,
          0x11,
          1,
          0xff,
          0xda,
          0,
          12,
          3,
          1,
          0x00,
          2,
          0x11,
          3,
          0x11,
          0,
          63,
          0,
          0xff,
          0xd9};
}

struct refusal {
  const char* what;
  bytes image;
  edgemap_options o;
  int status;
};

TEST(formats, refusals) {
  edgemap_options limited = options(EDGEMAP_FORMAT_AUTO, 0);
  limited.max_pixels = 24;
  edgemap_options unknown_size = options(EDGEMAP_FORMAT_AUTO, 0);
  unknown_size.size -= 8;
  const bytes bmp = test::make_bmp({5, 5, 24, 54, speckle});
  // A build without the codecs (Windows) refuses every PNG and JPEG as
  // unsupported, whatever size it declares.
  constexpr int bomb = EDGEMAP_HAS_CODECS ? EDGEMAP_ERROR_PIXEL_LIMIT
                                          : EDGEMAP_ERROR_UNSUPPORTED;
  const refusal cases[] = {
      {"png of 100000 x 100000", png_declaring(100000, 100000),
       options(EDGEMAP_FORMAT_PNG, 0), bomb},
      {"jpeg of 65000 x 65000", jpeg_declaring(65000, 65000),
       options(EDGEMAP_FORMAT_PNG, 0), bomb},
      {"bitmap past the caller's limit", bmp, limited,
       EDGEMAP_ERROR_PIXEL_LIMIT},
      {"png at 24 bits", bmp, options(EDGEMAP_FORMAT_PNG, 24),
       EDGEMAP_ERROR_ARGUMENT},
      {"bitmap at 4 bits", bmp, options(EDGEMAP_FORMAT_BMP, 4),
       EDGEMAP_ERROR_ARGUMENT},
      {"no such format", bmp, options(7, 0), EDGEMAP_ERROR_ARGUMENT},
      {"a struct of another size", bmp, unknown_size, EDGEMAP_ERROR_ARGUMENT},
  };
  test::temp_dir dir;
  const bytes kept = {'k', 'e', 'p', 't'};
  for (const refusal& c : cases) {
    void* out = &dir;
    std::size_t size = 1;
    EXPECT_EQ(edgemap_convert_memory_ex(c.image.data(), c.image.size(), &out,
                                        &size, &c.o),
              c.status)
        << c.what;
    EXPECT_TRUE(out == nullptr && size == 0) << c.what;
    // A file target stays as it was.
    test::write_file(dir.path("s"), c.image);
    test::write_file(dir.path("t.png"), kept);
    EXPECT_EQ(edgemap_convert_file_ex(dir.path("s").c_str(),
                                      dir.path("t.png").c_str(), &c.o),
              c.status)
        << c.what;
    EXPECT_EQ(test::read_file(dir.path("t.png")), kept) << c.what;
  }
}

}  // namespace
}  // namespace edgemap
