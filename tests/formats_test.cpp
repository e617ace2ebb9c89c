// The _ex conversions where no image decoder is needed to check them:
// bitmap sources through every bitmap target, upright whatever the
// source's row order and wherever the target goes; the options and their
// refusals; declared sizes past the pixel limit in each format. Then, with
// the codecs, damaged PNGs and JPEGs, and sources read from a pipe.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "edgemap.h"
#include "test_support.h"

#if EDGEMAP_HAS_CODECS
#include <spng.h>

#include <cstdio>
// After cstdio: jpeglib.h needs FILE.
#include <jpeglib.h>

#include "pipeline/image_source.h"
#ifndef _WIN32
#include <unistd.h>
#endif
#endif

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

  std::string name() const {
    return std::to_string(width) + "x" +
           std::to_string(height < 0 ? -height : height) +
           (height < 0 ? "_top_down" : "") + "_" + std::to_string(source_bits) +
           "_to_" + std::to_string(bits) + "_bits_" +
           (to_file ? "file" : "memory") +
           (threads == 0 ? "_auto_threads" : "_one_thread");
  }
  friend void PrintTo(const bitmap_case& c, std::ostream* os) {
    *os << c.name();
  }
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
                      bitmap_case{701, 1200, 24, 8, true, 1}),
    [](const auto& tc) { return tc.param.name(); });

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

void put_u32_be(std::uint8_t* to, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) to[i] = std::uint8_t(v >> (24 - 8 * i));
}

// A PNG chunk: length, type, data and the CRC-32 over type and data.
bytes png_chunk(const char* type, const bytes& data) {
  bytes b(12 + data.size());
  put_u32_be(b.data(), static_cast<std::uint32_t>(data.size()));
  std::memcpy(b.data() + 4, type, 4);
  std::copy(data.begin(), data.end(), b.begin() + 8);
  std::uint32_t crc = 0xffffffffu;
  for (std::size_t i = 4; i < 8 + data.size(); ++i) {
    crc ^= b[i];
    for (int k = 0; k < 8; ++k)
      crc = crc >> 1 ^ (0xedb88320u & (0 - (crc & 1)));
  }
  put_u32_be(b.data() + 8 + data.size(), crc ^ 0xffffffffu);
  return b;
}

bytes png_declaring(std::uint32_t width, std::uint32_t height) {
  bytes ihdr = {0, 0, 0, 0, 0, 0, 0, 0, 8, 2, 0, 0, 0};
  put_u32_be(ihdr.data(), width);
  put_u32_be(ihdr.data() + 4, height);
  bytes b = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  const bytes chunk = png_chunk("IHDR", ihdr);
  b.insert(b.end(), chunk.begin(), chunk.end());
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
  unknown_size.size = offsetof(edgemap_options, orient) - 4;
  // 70000 x 70000 pixels at 24 bits make a BMP of 13.7 GiB, past its 32-bit
  // size field: refused once the decoder is ready for the first row (after
  // the start of its pixel data, a stored deflate block), before any memory
  // in proportion to the image is taken.
  edgemap_options huge_bmp = options(EDGEMAP_FORMAT_BMP, 24);
  huge_bmp.max_pixels = 0;
  bytes huge_png = png_declaring(70000, 70000);
  bytes stored = {0x78, 0x01, 0, 16, 0, 0xef, 0xff};
  stored.resize(stored.size() + 16);
  const bytes idat = png_chunk("IDAT", stored);
  huge_png.insert(huge_png.end(), idat.begin(), idat.end());
  const bytes bmp = test::make_bmp({5, 5, 24, 54, speckle});
  // A build without the codecs (Windows) refuses every PNG and JPEG as
  // unsupported, whatever size it declares.
  constexpr int bomb = EDGEMAP_HAS_CODECS ? EDGEMAP_ERROR_PIXEL_LIMIT
                                          : EDGEMAP_ERROR_UNSUPPORTED;
  constexpr int past_4_gib = EDGEMAP_HAS_CODECS ? EDGEMAP_ERROR_TARGET_TOO_LARGE
                                                : EDGEMAP_ERROR_UNSUPPORTED;
  const refusal cases[] = {
      {"png of 100000 x 100000", png_declaring(100000, 100000),
       options(EDGEMAP_FORMAT_PNG, 0), bomb},
      {"jpeg of 65000 x 65000", jpeg_declaring(65000, 65000),
       options(EDGEMAP_FORMAT_PNG, 0), bomb},
      {"png to a bmp past 4 GiB", huge_png, huge_bmp, past_4_gib},
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

#if EDGEMAP_HAS_CODECS

std::vector<std::uint8_t> speckle_pixels(std::uint32_t width,
                                         std::uint32_t height) {
  std::vector<std::uint8_t> p(std::size_t{width} * height * 3);
  for (std::uint32_t r = 0; r < height; ++r) {
    for (std::uint32_t c = 0; c < width * 3; ++c) {
      p[std::size_t{r} * width * 3 + c] = speckle(r, c / 3, c % 3);
    }
  }
  return p;
}

bytes encode_png(std::uint32_t width, std::uint32_t height) {
  spng_ctx* const ctx = spng_ctx_new(SPNG_CTX_ENCODER);
  spng_ihdr ihdr{width, height, 8, SPNG_COLOR_TYPE_TRUECOLOR, 0, 0, 0};
  std::vector<std::uint8_t> pixels = speckle_pixels(width, height);
  std::size_t size = 0;
  int error = 0;
  void* png = nullptr;
  if (spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1) == 0 &&
      spng_set_ihdr(ctx, &ihdr) == 0 &&
      spng_encode_image(ctx, pixels.data(), pixels.size(), SPNG_FMT_PNG,
                        SPNG_ENCODE_FINALIZE) == 0) {
    png = spng_get_png_buffer(ctx, &size, &error);
  }
  spng_ctx_free(ctx);
  const auto* b = static_cast<const std::uint8_t*>(png);
  bytes out(b, b + (png != nullptr ? size : 0));
  std::free(png);
  return out;
}

// Where the first chunk of that type starts.
std::size_t find_chunk(const bytes& png, const char* type) {
  std::size_t at = 8;
  while (at + 8 <= png.size() && std::memcmp(&png[at + 4], type, 4) != 0) {
    at += 12u + (std::size_t{png[at]} << 24 | std::size_t{png[at + 1]} << 16 |
                 std::size_t{png[at + 2]} << 8 | png[at + 3]);
  }
  return at;
}

bytes inserted(bytes into, std::size_t at, const bytes& what) {
  into.insert(into.begin() + static_cast<std::ptrdiff_t>(at), what.begin(),
              what.end());
  return into;
}

bytes with_bad_crc(bytes chunk) {
  chunk.back() ^= 1;
  return chunk;
}

// A baseline or progressive JPEG of speckle, with comment markers of
// `comment` bytes each: libjpeg skips them through the source.
bytes encode_jpeg(std::uint32_t width, std::uint32_t height, bool progressive,
                  unsigned comments = 0, unsigned comment = 0) {
  jpeg_compress_struct c{};
  jpeg_error_mgr errors{};
  c.err = jpeg_std_error(&errors);
  jpeg_create_compress(&c);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &out, &size);
  c.image_width = width;
  c.image_height = height;
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  if (progressive) jpeg_simple_progression(&c);
  jpeg_start_compress(&c, TRUE);
  const std::vector<JOCTET> text(comment, 'c');
  for (unsigned i = 0; i < comments; ++i) {
    jpeg_write_marker(&c, JPEG_COM, text.data(), comment);
  }
  std::vector<std::uint8_t> pixels = speckle_pixels(width, height);
  while (c.next_scanline < height) {
    JSAMPROW row = pixels.data() + std::size_t{c.next_scanline} * width * 3;
    (void)jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  bytes b(out, out + size);
  std::free(out);
  return b;
}

constexpr std::uint8_t start_of_scan = 0xda;

// Where each marker of that code starts.
std::vector<std::size_t> markers(const bytes& jpeg, std::uint8_t code) {
  std::vector<std::size_t> at;
  for (std::size_t i = 0; i + 1 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xff && jpeg[i + 1] == code) at.push_back(i);
  }
  return at;
}

bytes converted(const bytes& image, const edgemap_options& o, int& status) {
  void* out = nullptr;
  std::size_t size = 0;
  status =
      edgemap_convert_memory_ex(image.data(), image.size(), &out, &size, &o);
  const auto* b = static_cast<const std::uint8_t*>(out);
  bytes target(b, b + size);
  edgemap_free(out);
  return target;
}

struct damage_case {
  const char* what;
  bytes image;
  int status;
  bytes same_as;  // with status OK: the image whose edge map it must give
};

// Damage the libraries warn of or leave to the caller, each judged from
// memory and from a file (a stream source).
TEST(formats, damaged_images) {
  const bytes png = encode_png(37, 29);
  const std::size_t idat = find_chunk(png, "IDAT");
  const std::size_t iend = find_chunk(png, "IEND");
  const bytes text = png_chunk("tEXt", {'k', 0, 'v'});
  bytes many_texts = png;
  for (int i = 0; i < 1001; ++i) many_texts = inserted(many_texts, idat, text);
  bytes bad_idat = png;
  bad_idat[iend - 1] ^= 1;  // the last byte of IDAT's CRC

  const bytes jpeg = encode_jpeg(64, 48, false);
  const std::size_t eoi = markers(jpeg, JPEG_EOI).back();
  // Forty bytes in the middle of the entropy-coded data, as stuffed 0xff
  // bytes: all ones, which no Huffman code is.
  bytes ones = jpeg;
  for (std::size_t i = 0; i < 40; i += 2) {
    ones[eoi - 300 + i] = 0xff;
    ones[eoi - 300 + i + 1] = 0;
  }
  // Bytes before EOI that no row needs: seen only once the last row is out.
  const bytes extraneous = inserted(jpeg, eoi, bytes(40, 0x55));
  const bytes progressive = encode_jpeg(64, 48, true);
  const std::vector<std::size_t> scans = markers(progressive, start_of_scan);
  ASSERT_GE(scans.size(), 3u);
  const bytes cut(progressive.begin(),
                  progressive.begin() + static_cast<std::ptrdiff_t>(scans[2]));

  const damage_case cases[] = {
      {"a PNG's text chunk with a bad CRC, before IDAT",
       inserted(png, idat, with_bad_crc(text)), EDGEMAP_OK, png},
      {"a PNG's text chunk with a bad CRC, after IDAT",
       inserted(png, iend, with_bad_crc(text)), EDGEMAP_OK, png},
      {"a PNG with 1001 text chunks", many_texts, EDGEMAP_OK, png},
      {"a PNG's IDAT with a bad CRC", bad_idat, EDGEMAP_ERROR_CORRUPT, {}},
      {"a JPEG's entropy data overwritten", ones, EDGEMAP_ERROR_CORRUPT, {}},
      {"a JPEG with bytes before EOI", extraneous, EDGEMAP_ERROR_CORRUPT, {}},
      {"a progressive JPEG cut between scans", cut, EDGEMAP_ERROR_CORRUPT, {}},
      {"a progressive JPEG whole", progressive, EDGEMAP_OK, progressive},
  };
  const edgemap_options o = options(EDGEMAP_FORMAT_PNG, 8);
  test::temp_dir dir;
  for (const damage_case& c : cases) {
    int status = 0;
    const bytes target = converted(c.image, o, status);
    EXPECT_EQ(status, c.status) << c.what;
    test::write_file(dir.path("s"), c.image);
    EXPECT_EQ(edgemap_convert_file_ex(dir.path("s").c_str(),
                                      dir.path("t.png").c_str(), &o),
              c.status)
        << c.what << ", from a file";
    if (c.status != EDGEMAP_OK) continue;
    int reference_status = 0;
    const bytes reference = converted(c.same_as, o, reference_status);
    ASSERT_EQ(reference_status, EDGEMAP_OK) << c.what;
    EXPECT_EQ(target, reference) << c.what;
    EXPECT_EQ(test::read_file(dir.path("t.png")), reference) << c.what;
  }
}

// A stream of the bytes after the first `skip`, as standard input gives
// them once its head was read: a pipe filled by `writer`, where there are
// pipes.
std::FILE* stream_after(const bytes& image, std::size_t skip,
                        std::thread& writer) {
#ifndef _WIN32
  int ends[2];
  if (pipe(ends) != 0) return nullptr;
  writer = std::thread([&image, skip, in = ends[1]] {
    for (std::size_t at = skip; at < image.size();) {
      const ssize_t wrote = write(in, image.data() + at, image.size() - at);
      if (wrote <= 0) break;
      at += static_cast<std::size_t>(wrote);
    }
    close(in);
  });
  return fdopen(ends[0], "rb");
#else
  (void)writer;
  std::FILE* f = std::tmpfile();
  if (f != nullptr) {
    (void)std::fwrite(image.data() + skip, 1, image.size() - skip, f);
    std::rewind(f);
  }
  return f;
#endif
}

using opener = status (*)(const source_bytes&, std::uint64_t,
                          std::unique_ptr<image_source>&) noexcept;

// Every row of a source, read a few at a time; the status of the first
// failure, if any.
status read_all(const source_bytes& in, opener open, bytes& rows) {
  std::unique_ptr<image_source> src;
  if (const status s = open(in, 0, src); s != status::ok) return s;
  const std::size_t row_bytes =
      std::size_t{src->width()} * src->bytes_per_pixel();
  rows.assign(row_bytes * src->height(), 0);
  for (std::uint32_t r = 0; r < src->height(); r += 7) {
    const std::uint32_t count = std::min(7u, src->height() - r);
    const status s =
        src->read_rows(rows.data() + r * row_bytes, row_bytes, count);
    if (s != status::ok) return s;
  }
  return status::ok;
}

bytes first(const bytes& b, std::size_t n) {
  return bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n));
}

struct stream_case {
  const char* what;
  bytes image;
  opener open;
  status expected;
  std::size_t unread;  // at least this much of the stream left unread
};

// A source from a stream whose first bytes were read already gives the
// rows it gives from memory, fails where memory fails, and gives up on
// garbage without reading it to its end.
TEST(formats, sources_from_a_stream_after_its_head) {
  // Two comments of 60000 bytes: the second is skipped across the end of
  // the first buffer load.
  const bytes jpeg = encode_jpeg(90, 70, false, 2, 60000);
  const bytes png = encode_png(90, 70);
  bytes soi_then_zeros(std::size_t{8} << 20, 0);
  soi_then_zeros[0] = soi_then_zeros[2] = 0xff;
  soi_then_zeros[1] = 0xd8;
  const stream_case cases[] = {
      {"png",
       inserted(png, find_chunk(png, "IDAT"),
                png_chunk("tEXt", bytes(70000, 'x'))),
       open_png_source, status::ok, 0},
      {"jpeg", jpeg, open_jpeg_source, status::ok, 0},
      {"progressive jpeg", encode_jpeg(90, 70, true), open_jpeg_source,
       status::ok, 0},
      {"png cut short", first(png, png.size() - 40), open_png_source,
       status::corrupt, 0},
      {"jpeg cut short", first(jpeg, jpeg.size() - 40), open_jpeg_source,
       status::corrupt, 0},
      {"jpeg start and zeros", soi_then_zeros, open_jpeg_source,
       status::corrupt, soi_then_zeros.size() / 2},
  };
  constexpr std::size_t head_size = 8;
  for (const stream_case& c : cases) {
    bytes expected;
    const status from_memory = read_all(
        source_bytes{c.image.data(), c.image.size()}, c.open, expected);
    EXPECT_EQ(from_memory, c.expected) << c.what;
    std::thread writer;
    std::FILE* const stream = stream_after(c.image, head_size, writer);
    ASSERT_NE(stream, nullptr) << c.what;
    bytes rows;
    const status from_stream =
        read_all(source_bytes{nullptr, 0, stream, 0, c.image.data(), head_size},
                 c.open, rows);
    // What the decoder left unread, so that the writer can finish.
    std::size_t unread = 0;
    std::uint8_t rest[4096];
    for (std::size_t got; (got = std::fread(rest, 1, sizeof rest, stream));) {
      unread += got;
    }
    std::fclose(stream);
    if (writer.joinable()) writer.join();
    EXPECT_EQ(from_stream, c.expected) << c.what;
    EXPECT_GE(unread, c.unread) << c.what;
    if (c.expected == status::ok) {
      EXPECT_EQ(rows, expected) << c.what;
    }
  }
}

#endif  // EDGEMAP_HAS_CODECS

}  // namespace
}  // namespace edgemap
