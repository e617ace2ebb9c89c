// WebP sources: libwebp's own decode of lossy, lossless and alpha images,
// row for row from memory and from a stream after its head, and their
// edge maps from memory, a file and a stream; the WebPs refused. Then the
// EXIF orientation WebP, JPEG and PNG sources report. Images are made
// here by the libraries' encoders and given chunks by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "edgemap.h"
#include "test_support.h"

#if EDGEMAP_HAS_CODECS
#include <spng.h>
#include <webp/decode.h>
#include <webp/encode.h>
// After cstdio: jpeglib.h needs FILE.
#include <jpeglib.h>

#include "pipeline/image_source.h"
#include "pipeline/transcode.h"

namespace edgemap {
namespace {

using test::bytes;

// Blocks of two by two pixels, hashed: edges everywhere, and data that no
// encoder squeezes below a few bits a pixel.
std::uint8_t noise(std::uint32_t r, std::uint32_t c, std::uint32_t b) {
  std::uint32_t x =
      (r / 2) * 0x9e3779b1u ^ (c / 2) * 0x85ebca77u ^ b * 0xc2b2ae3du;
  x ^= x >> 15;
  x *= 0x2c1b3c6du;
  x ^= x >> 12;
  return static_cast<std::uint8_t>(x >> 24);
}

void put_le(bytes& b, std::size_t at, std::uint32_t v, int n) {
  for (int i = 0; i < n; ++i) b[at + i] = static_cast<std::uint8_t>(v >> 8 * i);
}

bytes encode_webp(std::uint32_t width, std::uint32_t height, bool lossless,
                  bool alpha) {
  const std::uint32_t channels = alpha ? 4 : 3;
  bytes pixels(std::size_t{width} * height * channels);
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    const auto p = static_cast<std::uint32_t>(i / channels);
    pixels[i] =
        noise(p / width, p % width, static_cast<std::uint32_t>(i % channels));
  }
  const auto w = static_cast<int>(width);
  const auto h = static_cast<int>(height);
  const int stride = w * static_cast<int>(channels);
  std::uint8_t* out = nullptr;
  const std::size_t size =
      alpha
          ? (lossless
                 ? WebPEncodeLosslessRGBA(pixels.data(), w, h, stride, &out)
                 : WebPEncodeRGBA(pixels.data(), w, h, stride, 90, &out))
          : (lossless ? WebPEncodeLosslessRGB(pixels.data(), w, h, stride, &out)
                      : WebPEncodeRGB(pixels.data(), w, h, stride, 90, &out));
  bytes b(out, out + size);
  WebPFree(out);
  return b;
}

// GCC 12 sees an insert at the end of a vector just made as out of bounds.
void append(bytes& to, const bytes& from) {
  const std::size_t at = to.size();
  to.resize(at + from.size());
  std::copy(from.begin(), from.end(),
            to.begin() + static_cast<std::ptrdiff_t>(at));
}

bytes riff_chunk(const char* tag, const bytes& payload) {
  bytes c(8);
  std::memcpy(c.data(), tag, 4);
  put_le(c, 4, static_cast<std::uint32_t>(payload.size()), 4);
  append(c, payload);
  if (payload.size() % 2 != 0) c.push_back(0);
  return c;
}

// The image in the extended format, `before` after its VP8X chunk and
// `after` at its end, VP8X's flags or'ed with `flags`.
bytes extended(const bytes& webp, const bytes& before, const bytes& after,
               std::uint8_t flags = 0) {
  bytes rest(webp.begin() + 12, webp.end());
  bytes body;
  if (std::memcmp(rest.data(), "VP8X", 4) == 0) {
    body.assign(rest.begin(), rest.begin() + 18);
    rest.erase(rest.begin(), rest.begin() + 18);
  } else {
    int w = 0;
    int h = 0;
    EXPECT_TRUE(WebPGetInfo(webp.data(), webp.size(), &w, &h));
    bytes vp8x(10, 0);
    put_le(vp8x, 4, static_cast<std::uint32_t>(w - 1), 3);
    put_le(vp8x, 7, static_cast<std::uint32_t>(h - 1), 3);
    body = riff_chunk("VP8X", vp8x);
  }
  body[8] |= flags;
  append(body, before);
  append(body, rest);
  append(body, after);
  bytes out = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'E', 'B', 'P'};
  put_le(out, 4, static_cast<std::uint32_t>(4 + body.size()), 4);
  append(out, body);
  return out;
}

// The image with chunks after its own, in the format it has.
bytes followed_by(const bytes& webp, const bytes& after) {
  bytes out = webp;
  append(out, after);
  put_le(out, 4, static_cast<std::uint32_t>(out.size() - 8), 4);
  return out;
}

// A TIFF header and one directory holding the orientation tag.
bytes exif_block(std::uint16_t orientation, bool big_endian, bool prefix) {
  bytes t = big_endian ? bytes{'M', 'M', 0, 42, 0, 0, 0, 8}
                       : bytes{'I', 'I', 42, 0, 8, 0, 0, 0};
  const std::uint16_t entry[] = {1, 0x0112, 3};
  for (const std::uint16_t v : entry) {
    t.push_back(static_cast<std::uint8_t>(big_endian ? v >> 8 : v));
    t.push_back(static_cast<std::uint8_t>(big_endian ? v : v >> 8));
  }
  const bytes count = big_endian ? bytes{0, 0, 0, 1} : bytes{1, 0, 0, 0};
  t.insert(t.end(), count.begin(), count.end());
  t.push_back(
      static_cast<std::uint8_t>(big_endian ? orientation >> 8 : orientation));
  t.push_back(
      static_cast<std::uint8_t>(big_endian ? orientation : orientation >> 8));
  t.insert(t.end(), 6, 0);  // value padding and no next directory
  if (prefix) t.insert(t.begin(), {'E', 'x', 'i', 'f', 0, 0});
  return t;
}

bytes first(const bytes& b, std::size_t n) {
  return bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n));
}

// The stream standard input is once its first `head` bytes were read to
// tell its kind: a temporary file of the rest.
std::FILE* stream_of_rest(const bytes& image, std::size_t head) {
  std::FILE* f = std::tmpfile();
  if (f != nullptr) {
    (void)std::fwrite(image.data() + head, 1, image.size() - head, f);
    std::rewind(f);
  }
  return f;
}

constexpr std::size_t head_bytes = sniff_bytes;

using opener = status (*)(const source_bytes&, std::uint64_t,
                          std::unique_ptr<image_source>&) noexcept;

struct read_result {
  status s = status::ok;
  bytes rows;
  std::uint8_t orientation = 0;
};

// Every row of the image, read seven at a time from memory or from a
// stream after its head, and the orientation known at the end.
read_result read_all(const bytes& image, opener open, bool from_stream,
                     std::uint64_t max_pixels = 0) {
  read_result r;
  std::FILE* const f =
      from_stream ? stream_of_rest(image, head_bytes) : nullptr;
  const source_bytes in = from_stream
                              ? source_bytes{nullptr,
                                             0,
                                             f,
                                             0,
                                             image.data(),
                                             std::min(head_bytes, image.size())}
                              : source_bytes{image.data(), image.size()};
  std::unique_ptr<image_source> src;
  r.s = open(in, max_pixels, src);
  if (r.s == status::ok) {
    const std::size_t row_bytes = std::size_t{src->width()} * 3;
    r.rows.assign(row_bytes * src->height(), 0);
    for (std::uint32_t y = 0; y < src->height() && r.s == status::ok; y += 7) {
      r.s = src->read_rows(r.rows.data() + y * row_bytes, row_bytes,
                           std::min(7u, src->height() - y));
    }
    r.orientation = src->orientation();
  }
  if (f != nullptr) std::fclose(f);
  return r;
}

// 0 for an edge and 255 elsewhere, a byte a pixel, top row first: of the
// pixels by the independent reference, or of an 8-bit BMP target.
bytes reference_edges(const bytes& rgb, std::uint32_t width,
                      std::uint32_t height) {
  auto gray = [&](std::int64_t r, std::int64_t c) {
    if (r < 0 || c < 0 || r >= height || c >= width) return 0;
    const std::uint8_t* p = &rgb[(static_cast<std::size_t>(r) * width +
                                  static_cast<std::size_t>(c)) *
                                 3];
    return (p[0] + p[1] + p[2]) / 3;
  };
  bytes out(std::size_t{width} * height);
  for (std::uint32_t r = 0; r < height; ++r) {
    for (std::uint32_t c = 0; c < width; ++c) {
      out[std::size_t{r} * width + c] =
          test::integer_edge(gray, r, c) ? 0 : 255;
    }
  }
  return out;
}

bytes bmp8_edges(const std::uint8_t* t, std::size_t size) {
  if (size < 54 + 1024) return {};
  const std::uint32_t width = t[18] | t[19] << 8 | t[20] << 16;
  const std::uint32_t height = t[22] | t[23] << 8 | t[24] << 16;
  const std::size_t stride = (std::size_t{width} + 3) & ~std::size_t{3};
  if (size != 54 + 1024 + stride * height) return {};
  bytes out;
  for (std::uint32_t r = height; r-- > 0;) {
    const std::uint8_t* row = t + 54 + 1024 + r * stride;
    out.insert(out.end(), row, row + width);
  }
  return out;
}

struct pixels_case {
  const char* what;
  bytes image;
};

// The rows are libwebp's simple decode's (fancy upsampling, what dwebp and
// Pillow give), whether the image comes in one piece or in many, and the
// edge map is the reference's of them, by every way in.
TEST(webp, sources_give_libwebps_rows_and_their_edges) {
  const bytes lossy = encode_webp(61, 37, false, false);
  const bytes xmp = riff_chunk("XMP ", bytes(3001, 'x'));
  const pixels_case cases[] = {
      {"lossy", lossy},
      // Larger than a piece given to the decoder at a time (80 and 72
      // KiB); the lossless chunk is of odd size, padded.
      {"lossy in pieces", encode_webp(400, 300, false, false)},
      {"lossless in pieces", encode_webp(360, 240, true, false)},
      // VP8X, an ALPH chunk of odd size, padded, and VP8.
      {"lossy with alpha", encode_webp(51, 41, false, true)},
      {"lossless with alpha", encode_webp(53, 41, true, true)},
      {"chunks the decoder is not given",
       extended(lossy, riff_chunk("ICCP", bytes(7, 1)), xmp)},
  };
  edgemap_options o;
  edgemap_options_init(&o);
  o.format = EDGEMAP_FORMAT_BMP;
  o.bits = 8;
  test::temp_dir dir;
  for (const pixels_case& c : cases) {
    int width = 0;
    int height = 0;
    std::uint8_t* decoded =
        WebPDecodeRGB(c.image.data(), c.image.size(), &width, &height);
    ASSERT_NE(decoded, nullptr) << c.what;
    const bytes expected(decoded, decoded + std::size_t(width) * height * 3);
    WebPFree(decoded);
    for (const bool from_stream : {false, true}) {
      const read_result r = read_all(c.image, open_webp_source, from_stream);
      EXPECT_EQ(r.s, status::ok) << c.what << (from_stream ? ", stream" : "");
      EXPECT_TRUE(r.rows == expected)
          << c.what << (from_stream ? ", stream" : "");
    }
    const bytes edges =
        reference_edges(expected, static_cast<std::uint32_t>(width),
                        static_cast<std::uint32_t>(height));
    void* out = nullptr;
    std::size_t size = 0;
    ASSERT_EQ(edgemap_convert_memory_ex(c.image.data(), c.image.size(), &out,
                                        &size, &o),
              EDGEMAP_OK)
        << c.what;
    EXPECT_EQ(bmp8_edges(static_cast<const std::uint8_t*>(out), size), edges)
        << c.what << ", from memory";
    edgemap_free(out);
    test::write_file(dir.path("s.webp"), c.image);
    ASSERT_EQ(edgemap_convert_file_ex(dir.path("s.webp").c_str(),
                                      dir.path("t.bmp").c_str(), &o),
              EDGEMAP_OK)
        << c.what;
    const bytes file = test::read_file(dir.path("t.bmp"));
    EXPECT_EQ(bmp8_edges(file.data(), file.size()), edges)
        << c.what << ", file";
    std::FILE* const f = stream_of_rest(c.image, 0);
    ASSERT_NE(f, nullptr);
    transcode_options options;
    options.format = target_format::bmp;
    options.bits = 8;
    destination memory;
    memory.memory = true;
    const conversion t = transcode_stream(f, memory, options);
    std::fclose(f);
    EXPECT_EQ(t.failure(), status::ok) << c.what;
    EXPECT_EQ(
        bmp8_edges(static_cast<const std::uint8_t*>(t.memory), t.memory_size),
        edges)
        << c.what << ", stream";
    std::free(t.memory);
  }
}

struct refusal_case {
  const char* what;
  bytes image;
  std::uint64_t max_pixels;
  status expected;
};

TEST(webp, refusals) {
  const bytes lossy = encode_webp(40, 30, false, false);
  const bytes lossless = encode_webp(40, 30, true, false);
  bytes bad_start_code = lossy;
  bad_start_code[20 + 3] ^= 0xff;  // 9d 01 2a after the frame tag
  bytes bad_signature = lossless;
  bad_signature[20] ^= 0xff;  // VP8L's 0x2f
  bytes canvas(30, 0);
  std::memcpy(canvas.data(), "RIFF\0\0\0\0WEBPVP8X", 16);
  put_le(canvas, 4, 22 + 1000, 4);  // more declared than there is
  put_le(canvas, 16, 10, 4);
  put_le(canvas, 24, 16383 - 1, 3);
  put_le(canvas, 27, 16383 - 1, 3);
  bytes wider = extended(lossy, {}, {});
  put_le(wider, 24, 40, 3);  // a canvas one wider than the frame
  bytes past_riff = extended(lossy, {}, riff_chunk("XMP ", bytes(8, 'x')));
  put_le(past_riff, past_riff.size() - 12, 9, 4);
  const bytes animated =
      extended(lossy, riff_chunk("ANIM", bytes(6, 0)), {}, 0x02);
  const refusal_case cases[] = {
      {"animation flag", animated, 0, status::unsupported},
      {"animation frame without the flag",
       extended(lossy, riff_chunk("ANMF", bytes(16, 0)), {}), 0,
       status::unsupported},
      {"cut short in the image", first(lossy, lossy.size() - 50), 0,
       status::corrupt},
      {"cut short after the image",
       first(
           extended(lossy, {}, riff_chunk("EXIF", exif_block(6, false, false))),
           extended(lossy, {}, {}).size() + 20),
       0, status::corrupt},
      {"a chunk past the RIFF's end", past_riff, 0, status::corrupt},
      {"a chunk before the image without VP8X",
       [&] {
         bytes b =
             followed_by(first(lossy, 12), riff_chunk("ICCP", bytes(4, 0)));
         return followed_by(b, bytes(lossy.begin() + 12, lossy.end()));
       }(),
       0, status::corrupt},
      {"bad VP8 start code", bad_start_code, 0, status::corrupt},
      {"bad VP8L signature", bad_signature, 0, status::corrupt},
      {"canvas and frame differ", wider, 0, status::corrupt},
      {"frame over the limit", lossy, 40 * 30 - 1, status::pixel_limit},
      {"canvas over the limit, judged before its data", canvas, 1u << 20,
       status::pixel_limit},
  };
  for (const refusal_case& c : cases) {
    for (const bool from_stream : {false, true}) {
      EXPECT_EQ(
          read_all(c.image, open_webp_source, from_stream, c.max_pixels).s,
          c.expected)
          << c.what << (from_stream ? ", stream" : ", memory");
    }
  }
}

struct orientation_case {
  const char* what;
  bytes image;
  opener open;
  std::uint8_t orientation;
};

// A JPEG of 16 x 8 pixels with these APP1 segments.
bytes encode_jpeg(const std::vector<bytes>& app1) {
  jpeg_compress_struct c{};
  jpeg_error_mgr errors{};
  c.err = jpeg_std_error(&errors);
  jpeg_create_compress(&c);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &out, &size);
  c.image_width = 16;
  c.image_height = 8;
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_start_compress(&c, TRUE);
  for (const bytes& m : app1) {
    jpeg_write_marker(&c, JPEG_APP0 + 1, m.data(),
                      static_cast<unsigned>(m.size()));
  }
  bytes row(16 * 3, 0x80);
  while (c.next_scanline < c.image_height) {
    JSAMPROW r = row.data();
    (void)jpeg_write_scanlines(&c, &r, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  bytes b(out, out + size);
  std::free(out);
  return b;
}

// A PNG chunk; its CRC spoiled when `damaged`.
bytes png_chunk(const char* type, const bytes& data, bool damaged = false) {
  bytes b(8);
  for (int i = 0; i < 4; ++i) {
    b[static_cast<std::size_t>(i)] =
        static_cast<std::uint8_t>(data.size() >> (24 - 8 * i));
  }
  std::memcpy(b.data() + 4, type, 4);
  append(b, data);
  std::uint32_t crc = 0xffffffffu;
  for (std::size_t i = 4; i < b.size(); ++i) {
    crc ^= b[i];
    for (int k = 0; k < 8; ++k)
      crc = crc >> 1 ^ (0xedb88320u & (0 - (crc & 1)));
  }
  crc = ~crc ^ (damaged ? 1u : 0u);
  for (int i = 0; i < 4; ++i) {
    b.push_back(static_cast<std::uint8_t>(crc >> (24 - 8 * i)));
  }
  return b;
}

// A gray PNG of 16 x 8 pixels with `before` ahead of IDAT and `after`
// ahead of IEND.
bytes encode_png(const bytes& before, const bytes& after) {
  spng_ctx* const ctx = spng_ctx_new(SPNG_CTX_ENCODER);
  spng_ihdr ihdr{16, 8, 8, SPNG_COLOR_TYPE_GRAYSCALE, 0, 0, 0};
  bytes pixels(16 * 8, 0x80);
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
  const auto* p = static_cast<const std::uint8_t*>(png);
  bytes b(p, p + (png != nullptr ? size : 0));
  std::free(png);
  // IHDR is the first chunk, IEND the last (12 bytes).
  bytes out = first(b, 8 + 25);
  append(out, before);
  append(out, bytes(b.begin() + 33, b.end() - 12));
  append(out, after);
  append(out, bytes(b.end() - 12, b.end()));
  return out;
}

// Known once every row is read, from memory and from a stream alike.
TEST(orientation, of_webp_jpeg_and_png_sources) {
  const bytes lossy = encode_webp(23, 17, false, false);
  const bytes lossless = encode_webp(23, 17, true, false);
  bytes big_exif = exif_block(5, false, false);
  big_exif.resize(std::size_t{65} << 10);
  const bytes xmp = {'h', 't', 't', 'p', ':', '/', '/', 'n', 's', 0};
  bytes two_exifs = png_chunk("eXIf", exif_block(7, false, false));
  append(two_exifs, png_chunk("eXIf", exif_block(2, false, false)));
  const orientation_case cases[] = {
      {"webp, EXIF after the image",
       extended(lossy, {}, riff_chunk("EXIF", exif_block(6, false, false))),
       open_webp_source, 6},
      {"webp, EXIF before the image, big-endian, Exif prefix",
       extended(lossless, riff_chunk("EXIF", exif_block(3, true, true)), {}),
       open_webp_source, 3},
      {"webp, the first EXIF of two",
       extended(lossy, riff_chunk("EXIF", exif_block(8, false, false)),
                riff_chunk("EXIF", exif_block(2, false, false))),
       open_webp_source, 8},
      {"webp, EXIF past 64 KiB passed over",
       extended(lossy, {},
                riff_chunk("EXIF",
                           [] {
                             bytes e = exif_block(5, false, false);
                             e.resize(std::size_t{65} << 10);
                             return e;
                           }())),
       open_webp_source, 1},
      {"webp without VP8X, EXIF after the image",
       followed_by(lossy, riff_chunk("EXIF", exif_block(6, false, false))),
       open_webp_source, 1},
      {"webp without EXIF", lossy, open_webp_source, 1},
      {"jpeg, EXIF in APP1", encode_jpeg({exif_block(8, false, true)}),
       open_jpeg_source, 8},
      {"jpeg, XMP in the first APP1, EXIF in the second",
       encode_jpeg({xmp, exif_block(5, true, true)}), open_jpeg_source, 5},
      {"jpeg, APP1 without the Exif name",
       encode_jpeg({exif_block(8, false, false)}), open_jpeg_source, 1},
      {"jpeg without APP1", encode_jpeg({}), open_jpeg_source, 1},
      {"png, eXIf before IDAT",
       encode_png(png_chunk("eXIf", exif_block(6, true, false)), {}),
       open_png_source, 6},
      {"png, a damaged eXIf before IDAT, two good ones after",
       encode_png(png_chunk("eXIf", exif_block(3, false, false), true),
                  two_exifs),
       open_png_source, 7},
      {"png, eXIf past 64 KiB passed over",
       encode_png(png_chunk("eXIf", big_exif), {}), open_png_source, 1},
      {"png without eXIf", encode_png({}, {}), open_png_source, 1},
  };
  for (const orientation_case& c : cases) {
    for (const bool from_stream : {false, true}) {
      const read_result r = read_all(c.image, c.open, from_stream);
      EXPECT_EQ(r.s, status::ok) << c.what;
      EXPECT_EQ(r.orientation, c.orientation)
          << c.what << (from_stream ? ", stream" : ", memory");
    }
  }
}

}  // namespace
}  // namespace edgemap

#endif  // EDGEMAP_HAS_CODECS
