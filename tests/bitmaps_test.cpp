// Bitmaps outside the legacy rules: palettes, 16-bit and masked 32-bit
// pixels, RLE, OS/2 headers, each decoded to the gray levels Pillow 9.4
// gives (worked out with it on these very bytes; for RLE deltas and odd
// RLE4 absolute runs, which it gets wrong, as the format has them), from
// memory, a file and a pipe alike; the ones refused, with their status; and the
// legacy conversion left as it was beside them.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "edgemap.h"
#include "pipeline/image_source.h"
#include "test_support.h"

namespace edgemap {
namespace {

using test::bytes;

void put(bytes& b, std::size_t at, std::uint32_t v, int size = 4) {
  for (int i = 0; i < size; ++i) {
    b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> 8 * i);
  }
}

// A bitmap of an info header of `info` bytes (12: OS/2 1.x), the masks
// in it or after a 40-byte one, then the palette and the pixels (at
// `offset`, or right after the palette).
bytes bmp(std::uint32_t info, std::int32_t w, std::int32_t h,
          std::uint16_t bits, std::uint32_t compression, const bytes& palette,
          const bytes& pixels, const std::vector<std::uint32_t>& masks = {},
          std::uint32_t colors = 0, std::int64_t offset = -1) {
  // Room for the fields written below, whatever size the header claims.
  bytes b(14 + (info == 12 || info >= 40 ? info : 40), 0);
  b[0] = 'B';
  b[1] = 'M';
  put(b, 14, info);
  if (info == 12) {
    put(b, 18, static_cast<std::uint32_t>(w), 2);
    put(b, 20, static_cast<std::uint32_t>(h), 2);
    put(b, 22, 1, 2);
    put(b, 24, bits, 2);
  } else {
    put(b, 18, static_cast<std::uint32_t>(w));
    put(b, 22, static_cast<std::uint32_t>(h));
    put(b, 26, 1, 2);
    put(b, 28, bits, 2);
    put(b, 30, compression);
    put(b, 46, colors);
    if (info == 40) b.resize(54 + 4 * masks.size());
    for (std::size_t i = 0; i < masks.size(); ++i) put(b, 54 + 4 * i, masks[i]);
  }
  b.insert(b.end(), palette.begin(), palette.end());
  put(b, 10, static_cast<std::uint32_t>(offset < 0 ? b.size() : offset));
  b.insert(b.end(), pixels.begin(), pixels.end());
  put(b, 2, static_cast<std::uint32_t>(b.size()));
  return b;
}

// Stored rows, each padded to 4 bytes.
bytes rows(std::initializer_list<bytes> stored) {
  bytes b;
  for (const bytes& r : stored) {
    b.insert(b.end(), r.begin(), r.end());
    b.resize((b.size() + 3) & ~std::size_t{3});
  }
  return b;
}

bytes gray_palette(int n, std::size_t entry = 4) {
  bytes b;
  for (int i = 0; i < n; ++i) {
    b.insert(b.end(), 3, static_cast<std::uint8_t>(i * 255 / (n - 1)));
    if (entry == 4) b.push_back(0);
  }
  return b;
}

// The gray levels a source gives (the truncated mean of a pixel's first
// three bytes), top row first.
status gray_of(const source_bytes& in, std::vector<int>& gray) {
  std::unique_ptr<image_source> src;
  const status opened = open_any_bmp_source(in, 0, src);
  if (opened != status::ok) return opened;
  EXPECT_TRUE(src->deliver_bottom_first(false));
  const std::uint32_t w = src->width();
  const std::uint32_t h = src->height();
  const std::size_t bpp = src->bytes_per_pixel();
  std::vector<std::uint8_t> buffer(src->buffer_stride() * h + w * bpp * h);
  const std::uint8_t* first = buffer.data();
  std::ptrdiff_t stride = static_cast<std::ptrdiff_t>(w * bpp);
  status failure = status::ok;
  if (src->random_access()) {
    first = src->rows_at(0, h, buffer.data(), stride, failure);
  } else {
    failure = src->read_rows(buffer.data(), w * bpp, h);
  }
  if (failure != status::ok) return failure;
  gray.clear();
  for (std::uint32_t r = 0; r < h; ++r) {
    for (std::uint32_t c = 0; c < w; ++c) {
      const std::uint8_t* p = first + stride * r + c * bpp;
      gray.push_back((p[0] + p[1] + p[2]) / 3);
    }
  }
  return status::ok;
}

using file_ptr = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

file_ptr file_of(const bytes& b) {
  file_ptr f(std::tmpfile(), std::fclose);
  if (f && !b.empty()) (void)std::fwrite(b.data(), 1, b.size(), f.get());
  if (f) std::rewind(f.get());
  return f;
}

// The same source from memory, from a file, and read from a stream as
// from a pipe: what its header declares and no more, then from memory.
// Each must give what memory gives.
status gray_everywhere(const bytes& image, std::vector<int>& gray,
                       const std::string& what) {
  const status from_memory =
      gray_of(source_bytes{image.data(), image.size()}, gray);
  const file_ptr file = file_of(image);
  source_bytes in;
  in.stream = file.get();
  std::vector<int> other;
  EXPECT_EQ(gray_of(in, other), from_memory) << what << ", from a file";
  if (from_memory == status::ok) {
    EXPECT_EQ(other, gray) << what;
  }

  // Bytes past a whole image, which a refused one might have taken for its
  // own.
  bytes followed = image;
  if (from_memory == status::ok) followed.resize(image.size() + 64, 0x55);
  const file_ptr stream = file_of(followed);
  std::vector<std::uint8_t> read(12);
  read.resize(std::fread(read.data(), 1, read.size(), stream.get()));
  EXPECT_EQ(read_declared_bitmap(stream.get(), read, 0, 0), status::ok);
  EXPECT_LE(read.size(), image.size()) << what << ": read past the image";
  EXPECT_EQ(gray_of(source_bytes{read.data(), read.size()}, other), from_memory)
      << what << ", from a stream";
  if (from_memory == status::ok) {
    EXPECT_EQ(other, gray) << what;
  }
  return from_memory;
}

struct decode_case {
  const char* what;
  bytes image;
  std::vector<int> gray;  // top row first
};

TEST(bitmaps, decode_as_pillow_does) {
  // Blue, green, red and a byte to spare: gray levels 100, 30, 9 and 6.
  const bytes four = {0, 100, 200, 0, 60, 30, 0, 0, 9, 9, 9, 0, 9, 6, 3, 0};
  const bytes three(four.begin(), four.begin() + 12);
  const bytes two = {30, 30, 30, 0, 90, 90, 90, 0};
  const bytes gray = gray_palette(256);
  const decode_case cases[] = {
      {"1 bit, two colours",
       bmp(40, 10, 2, 1, 0, bytes(three.begin(), three.begin() + 8),
           rows({{0xa6, 0x40}, {0x0f, 0xc0}})),
       {100, 100, 100, 100, 30,  30, 30, 30,  30,  30,  //
        30,  100, 30,  100, 100, 30, 30, 100, 100, 30}},
      // Pillow 9.4 reads no 2-bit bitmap; the same rule as the others.
      {"2 bits",
       bmp(40, 5, 1, 2, 0, four, rows({{0x1b, 0x40}})),
       {100, 30, 9, 6, 30}},
      {"4 bits, indices past the three colours are gray levels",
       bmp(40, 6, 1, 4, 0, three, rows({{0x01, 0x23, 0x4f}}), {}, 3),
       {100, 30, 9, 3, 4, 15}},
      {"8-bit gray, top-down",
       bmp(40, 3, -2, 8, 0, gray, rows({{0, 7, 255}, {128, 1, 2}})),
       {0, 7, 255, 128, 1, 2}},
      {"16 bits, 5-5-5 scaled",
       bmp(40, 4, 1, 16, 0, {}, {0xff, 0x7f, 1, 0, 0x21, 4, 0x34, 0x92}),
       {255, 2, 8, 111}},
      {"16 bits, 5-6-5 masks after the header",
       bmp(40, 3, 1, 16, 3, {}, rows({{0xff, 0xff, 0x20, 0, 0x34, 0x12}}),
           {0xf800, 0x7e0, 0x1f}),
       {255, 1, 82}},
      {"32 bits, xbgr masks in a V4 header",
       bmp(108, 2, 1, 32, 3, {}, {1, 2, 3, 4, 9, 8, 7, 6},
           {0xff000000, 0xff0000, 0xff00, 0}),
       {3, 7}},
      {"OS/2 1.x, 4 bits",
       bmp(12, 3, 2, 4, 0, gray_palette(16, 3),
           rows({{0x12, 0x30}, {0xf0, 0x80}})),
       {255, 0, 136, 17, 34, 51}},
      {"OS/2 1.x, 24 bits",
       bmp(12, 2, 1, 24, 0, {}, rows({{3, 6, 9, 30, 60, 90}})),
       {6, 60}},
      {"bfOffBits at the palette's start: past 4-byte entries",
       bmp(40, 2, 1, 8, 0, two, rows({{1, 0}}), {}, 2, 54),
       {90, 30}},
      {"bfOffBits 0: right after the palette",
       bmp(40, 2, 1, 1, 0, two, rows({{0x40}}), {}, 0, 0),
       {30, 90}},
      // Encoded, absolute with its pad byte, an end of line, a delta of
      // two columns and a row over the pixels it skips (index 0), and a
      // run after it. Pillow 9.4 takes a delta's offsets from the two bytes
      // after its own; the format, and later Pillows, from its own.
      {"RLE8",
       bmp(40, 5, 3, 8, 1, gray,
           {2, 7, 0, 3, 1, 2, 3, 0, 0, 0, 0, 2, 2, 1, 3, 9, 0, 1}),
       {0, 0, 9, 9, 9, 0, 0, 0, 0, 0, 7, 7, 1, 2, 3}},
      // An absolute run of five pixels in three bytes and a pad (Pillow
      // 9.4 reads two bytes for it and loses a pixel), then a run in the
      // next row.
      {"RLE4",
       bmp(40, 6, 2, 4, 2, gray_palette(16),
           {0, 5, 0x12, 0x34, 0x50, 0, 1, 0x66, 0, 0, 6, 0xab, 0, 1}),
       {170, 187, 170, 187, 170, 187, 17, 34, 51, 68, 85, 102}},
  };
  for (const decode_case& c : cases) {
    std::vector<int> levels;
    EXPECT_EQ(gray_everywhere(c.image, levels, c.what), status::ok) << c.what;
    EXPECT_EQ(levels, c.gray) << c.what;
  }
}

struct refusal_case {
  const char* what;
  bytes image;
  status expected;
};

// Refused alike from memory, a file and a pipe, and by the conversion,
// which leaves nothing behind.
TEST(bitmaps, refusals) {
  const bytes gray = gray_palette(256);
  const auto rle8 = [&](std::int32_t w, std::int32_t h, const bytes& codes) {
    return bmp(40, w, h, 8, 1, gray, codes);
  };
  const bytes pixel = {0, 0, 0, 0};
  // Pixels within the palette, where nothing but the palette is missing.
  bytes cut_palette = bmp(40, 4, 1, 8, 0, gray, pixel, {}, 0, 58);
  cut_palette.resize(54 + 500);
  bytes cut_pixels = bmp(40, 8, 2, 4, 0, gray_palette(16), bytes(8, 1));
  cut_pixels.pop_back();
  bytes cut_header = bmp(124, 4, 1, 8, 0, {}, {});
  cut_header.resize(60);
  const refusal_case cases[] = {
      {"RLE8 absolute run past the last row",
       rle8(4, 1, {0, 5, 1, 2, 3, 4, 5, 0, 0, 1}), status::corrupt},
      {"RLE8 delta past the last row", rle8(4, 2, {0, 2, 0, 0, 0, 3, 0, 1}),
       status::corrupt},
      {"RLE8 codes for a row past the last",
       rle8(2, 1, {2, 1, 0, 0, 2, 2, 0, 0, 0, 1}), status::corrupt},
      {"RLE8 ending before its last row", rle8(2, 2, {2, 1, 0, 0, 0, 1}),
       status::corrupt},
      {"RLE8 cut short", rle8(2, 2, {2, 1, 0, 0, 2}), status::corrupt},
      {"RLE8 top-down", rle8(2, -1, {2, 1, 0, 1}), status::unsupported},
      {"RLE4 of 8 bits", bmp(40, 2, 1, 8, 2, gray, {2, 1, 0, 1}),
       status::unsupported},
      {"16 bits, 4-4-4 masks",
       bmp(40, 2, 1, 16, 3, {}, pixel, {0xf00, 0xf0, 0xf}),
       status::unsupported},
      {"32 bits, 10-bit masks",
       bmp(108, 1, 1, 32, 3, {}, pixel, {0x3ff00000, 0xffc00, 0x3ff}),
       status::unsupported},
      {"300 colours", bmp(40, 1, 1, 8, 0, gray, pixel, {}, 300),
       status::unsupported},
      {"3 bits", bmp(40, 1, 1, 3, 0, gray, pixel), status::unsupported},
      {"JPEG compression", bmp(40, 1, 1, 8, 4, gray, pixel),
       status::unsupported},
      {"a 20-byte header", bmp(20, 1, 1, 8, 0, gray, pixel),
       status::unsupported},
      {"a V5 header cut short", cut_header, status::header},
      {"the palette cut short", cut_palette, status::truncated},
      {"the pixels cut short", cut_pixels, status::truncated},
  };
  edgemap_options o;
  edgemap_options_init(&o);
  o.format = EDGEMAP_FORMAT_BMP;
  o.bits = 8;
  for (const refusal_case& c : cases) {
    std::vector<int> unused;
    EXPECT_EQ(gray_everywhere(c.image, unused, c.what), c.expected) << c.what;
    void* out = nullptr;
    std::size_t size = 0;
    EXPECT_EQ(edgemap_convert_memory_ex(c.image.data(), c.image.size(), &out,
                                        &size, &o),
              static_cast<int>(c.expected))
        << c.what;
    EXPECT_TRUE(out == nullptr && size == 0) << c.what;
  }
}

// Whether a bottom-up target's first byte of each pixel is the edge map
// of `gray`: 0 where integer_edge says so, 255 elsewhere.
void expect_edges(const bytes& target, std::uint32_t bpp, std::uint32_t w,
                  std::uint32_t h, const test::gray_fn& gray,
                  const char* what) {
  ASSERT_GE(target.size(), 54u) << what;
  const std::size_t offset = target[10] | target[11] << 8;
  const std::size_t stride = (w * bpp + 3) & ~3u;
  ASSERT_EQ(target.size(), offset + stride * h) << what;
  for (std::uint32_t r = 0; r < h; ++r) {
    for (std::uint32_t c = 0; c < w; ++c) {
      const int level = target[offset + (h - 1 - r) * stride + c * bpp];
      ASSERT_EQ(level, test::integer_edge(gray, r, c) ? 0 : 255)
          << what << ": row " << r << " column " << c;
    }
  }
}

bytes converted(const bytes& image, const edgemap_options* o, int& status) {
  void* out = nullptr;
  std::size_t size = 0;
  status = o != nullptr ? edgemap_convert_memory_ex(image.data(), image.size(),
                                                    &out, &size, o)
                        : edgemap_convert_memory(image.data(), image.size(),
                                                 &out, &size, 90, 0);
  const auto* b = static_cast<const std::uint8_t*>(out);
  bytes target(b, b + size);
  edgemap_free(out);
  return target;
}

// An 8-bit bitmap stays refused by the 1.1 functions and is converted by
// the others at the default depth, to a 24-bit bitmap. A 32-bit xbgr one
// keeps the legacy target of its first three bytes there, and has its
// channels read from the masks for any other target.
TEST(bitmaps, beside_the_legacy_conversion) {
  constexpr std::uint32_t w = 12;
  constexpr std::uint32_t h = 9;
  const auto squares = [](std::int64_t r, std::int64_t c) {
    return (r / 3 + c / 3) % 2 != 0 ? 200 : 20;
  };
  const auto inside = [&](const test::gray_fn& f) -> test::gray_fn {
    return [f](std::int64_t r, std::int64_t c) {
      return r < 0 || c < 0 || r >= h || c >= w ? 0 : f(r, c);
    };
  };
  bytes indices;
  bytes xbgr;
  for (std::uint32_t r = h; r-- > 0;) {  // bottom-up
    for (std::uint32_t c = 0; c < w; ++c) {
      const auto level = static_cast<std::uint8_t>(squares(r, c));
      indices.push_back(level);
      xbgr.insert(xbgr.end(), {level, 90, 90, 90});
    }
  }
  const bytes gray8 = bmp(40, w, h, 8, 0, gray_palette(256), indices);
  const bytes masked =
      bmp(108, w, h, 32, 3, {}, xbgr, {0xff000000, 0xff0000, 0xff00, 0});

  int status = 0;
  EXPECT_TRUE(converted(gray8, nullptr, status).empty());
  EXPECT_EQ(status, EDGEMAP_ERROR_BIT_COUNT);
  edgemap_options o;
  edgemap_options_init(&o);
  const bytes gray8_target = converted(gray8, &o, status);
  EXPECT_EQ(status, EDGEMAP_OK);
  expect_edges(gray8_target, 3, w, h, inside(squares), "8-bit, default");

  const bytes legacy = converted(masked, nullptr, status);
  EXPECT_EQ(status, EDGEMAP_OK);
  EXPECT_EQ(converted(masked, &o, status), legacy);
  expect_edges(legacy, 4, w, h, inside([&](std::int64_t r, std::int64_t c) {
                 return (squares(r, c) + 90 + 90) / 3;
               }),
               "xbgr, the legacy target");
  o.format = EDGEMAP_FORMAT_BMP;
  o.bits = 8;
  expect_edges(converted(masked, &o, status), 1, w, h,
               inside([](std::int64_t, std::int64_t) { return 90; }),
               "xbgr, an 8-bit target");
}

}  // namespace
}  // namespace edgemap
