// Conversions against their decoder alone, in one process: a photo-like
// 4000 x 3000 picture encoded in memory as a JPEG (quality 90), an LZW RGB
// TIFF and a lossy WebP (quality 90), then timed as
// edgemap_convert_memory_ex makes a 1-bit PNG of each and as the format's
// own library decodes it to rows it throws away (what `djpeg -outfile
// /dev/null` does). memcpy of the decoded pixels tells how disturbed the
// machine was. Run under `taskset -c 0` for one processor; every output is
// checked once before anything is timed.
#include <benchmark/benchmark.h>
#include <tiffio.h>
#include <webp/decode.h>
#include <webp/encode.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

#include "edgemap.h"

namespace edgemap::bench {
namespace {

constexpr std::uint32_t width = 4000;
constexpr std::uint32_t height = 3000;

// Smooth gradients and sensor-like noise, as bench/formats_bench.py draws
// them: what a camera gives, which compresses as a photograph does (the
// benchmark pictures with hard bars would flatter the decoder).
std::vector<std::uint8_t> photo(std::uint32_t w, std::uint32_t h) {
  std::vector<std::uint8_t> rgb(std::size_t{w} * h * 3);
  std::mt19937 rng(7);
  std::normal_distribution<float> noise(0.0f, 6.0f);
  auto clip = [](float v) {
    return static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
  };
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      const float fx = static_cast<float>(x);
      const float fy = static_cast<float>(y);
      const float a = std::sin(fx / 37.0f) * 70 +
                      std::cos(fy / 23.0f + fx / 91.0f) * 50 + 128 + noise(rng);
      std::uint8_t* p = rgb.data() + (std::size_t{y} * w + x) * 3;
      p[0] = clip(a);
      p[1] = clip(a * 0.8f + 30 * std::sin(fy / 11.0f));
      p[2] = clip(255 - a * 0.9f);
    }
  }
  return rgb;
}

[[noreturn]] void give_up(const char* what) {
  std::fprintf(stderr, "codecs_bench: %s\n", what);
  std::exit(1);
}

// libjpeg's default error handling ends the process, which suits a
// benchmark whose inputs are its own.
std::vector<std::uint8_t> encode_jpeg(const std::vector<std::uint8_t>& rgb,
                                      std::uint32_t w, std::uint32_t h) {
  jpeg_compress_struct info{};
  jpeg_error_mgr errors{};
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &out, &size);
  info.image_width = w;
  info.image_height = h;
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, 90, TRUE);
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < h) {
    auto* row = const_cast<JSAMPROW>(rgb.data() +
                                     std::size_t{info.next_scanline} * w * 3);
    (void)jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::vector<std::uint8_t> jpeg(out, out + size);
  std::free(out);
  return jpeg;
}

// Decodes as djpeg does (the library's default accurate decoding, RGB),
// a row group at a time into one buffer. Returns the sum of the last
// row's bytes, so that nothing is optimised away.
unsigned decode_jpeg(const std::vector<std::uint8_t>& jpeg,
                     std::vector<std::uint8_t>& rows) {
  jpeg_decompress_struct info{};
  jpeg_error_mgr errors{};
  info.err = jpeg_std_error(&errors);
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  (void)jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_RGB;
  (void)jpeg_start_decompress(&info);
  const std::size_t row_bytes = std::size_t{info.output_width} * 3;
  constexpr std::size_t group = 16;
  rows.resize(row_bytes * group);
  JSAMPROW pointers[group];
  for (std::size_t i = 0; i < group; ++i) {
    pointers[i] = rows.data() + i * row_bytes;
  }
  JDIMENSION got = 0;
  while (info.output_scanline < info.output_height) {
    got = jpeg_read_scanlines(&info, pointers, group);
  }
  unsigned sum = 0;
  for (std::size_t i = 0; got != 0 && i < row_bytes; ++i) {
    sum += pointers[got - 1][i];
  }
  (void)jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return sum;
}

// A TIFF in memory for libtiff's client interface: written into the
// vector, read in place through the map procedure, as the library reads
// a source in memory.
struct tiff_memory {
  std::vector<std::uint8_t> bytes;
  std::size_t at = 0;
};

tiff_memory& memory_of(thandle_t h) { return *static_cast<tiff_memory*>(h); }

tmsize_t tiff_read(thandle_t h, void* out, tmsize_t count) {
  tiff_memory& m = memory_of(h);
  const std::size_t left = m.at < m.bytes.size() ? m.bytes.size() - m.at : 0;
  const std::size_t n = std::min(left, static_cast<std::size_t>(count));
  std::memcpy(out, m.bytes.data() + m.at, n);
  m.at += n;
  return static_cast<tmsize_t>(n);
}

tmsize_t tiff_write(thandle_t h, void* in, tmsize_t count) {
  tiff_memory& m = memory_of(h);
  const auto n = static_cast<std::size_t>(count);
  if (m.at + n > m.bytes.size()) m.bytes.resize(m.at + n);
  std::memcpy(m.bytes.data() + m.at, in, n);
  m.at += n;
  return count;
}

toff_t tiff_seek(thandle_t h, toff_t offset, int whence) {
  tiff_memory& m = memory_of(h);
  const std::size_t base = whence == SEEK_CUR   ? m.at
                           : whence == SEEK_END ? m.bytes.size()
                                                : 0;
  m.at = base + static_cast<std::size_t>(offset);
  return m.at;
}

int tiff_close(thandle_t) { return 0; }

toff_t tiff_size(thandle_t h) { return memory_of(h).bytes.size(); }

int tiff_map(thandle_t h, void** base, toff_t* size) {
  tiff_memory& m = memory_of(h);
  *base = m.bytes.data();
  *size = m.bytes.size();
  return 1;
}

void tiff_unmap(thandle_t, void*, toff_t) {}

TIFF* open_tiff(tiff_memory& m, const char* mode) {
  m.at = 0;
  return TIFFClientOpen("bench", mode, &m, tiff_read, tiff_write, tiff_seek,
                        tiff_close, tiff_size, tiff_map, tiff_unmap);
}

// RGB in strips of about 64 KiB, LZW without a predictor, as Pillow
// writes compression="tiff_lzw".
std::vector<std::uint8_t> encode_tiff(const std::vector<std::uint8_t>& rgb,
                                      std::uint32_t w, std::uint32_t h) {
  tiff_memory m;
  TIFF* tif = open_tiff(m, "w");
  if (tif == nullptr) give_up("libtiff could not write");
  const std::size_t row_bytes = std::size_t{w} * 3;
  const auto rows_per_strip = static_cast<std::uint32_t>(
      std::max<std::size_t>(1, (std::size_t{64} << 10) / row_bytes));
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, w);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, h);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rows_per_strip);
  for (std::uint32_t y = 0; y < h; ++y) {
    auto* row = const_cast<std::uint8_t*>(rgb.data() + y * row_bytes);
    if (TIFFWriteScanline(tif, row, y, 0) != 1) give_up("TIFF row");
  }
  TIFFClose(tif);
  return std::move(m.bytes);
}

// Every strip decoded into one buffer, the fastest way libtiff has.
unsigned decode_tiff(tiff_memory& m, std::vector<std::uint8_t>& strip) {
  TIFF* tif = open_tiff(m, "r");
  if (tif == nullptr) give_up("libtiff could not read");
  strip.resize(static_cast<std::size_t>(TIFFStripSize(tif)));
  unsigned sum = 0;
  const std::uint32_t strips = TIFFNumberOfStrips(tif);
  for (std::uint32_t k = 0; k < strips; ++k) {
    const tmsize_t got = TIFFReadEncodedStrip(
        tif, k, strip.data(), static_cast<tmsize_t>(strip.size()));
    if (got <= 0) give_up("TIFF strip");
    sum += strip[static_cast<std::size_t>(got) - 1];
  }
  TIFFClose(tif);
  return sum;
}

std::vector<std::uint8_t> encode_webp(const std::vector<std::uint8_t>& rgb,
                                      std::uint32_t w, std::uint32_t h) {
  std::uint8_t* out = nullptr;
  const std::size_t size =
      WebPEncodeRGB(rgb.data(), static_cast<int>(w), static_cast<int>(h),
                    static_cast<int>(w * 3), 90.0f, &out);
  if (size == 0) give_up("libwebp could not encode");
  std::vector<std::uint8_t> webp(out, out + size);
  WebPFree(out);
  return webp;
}

// The whole frame into one buffer, as dwebp decodes (the library's
// default fancy upsampling).
unsigned decode_webp(const std::vector<std::uint8_t>& webp,
                     std::vector<std::uint8_t>& rgb) {
  const std::size_t stride = std::size_t{width} * 3;
  rgb.resize(stride * height);
  if (WebPDecodeRGBInto(webp.data(), webp.size(), rgb.data(), rgb.size(),
                        static_cast<int>(stride)) == nullptr) {
    give_up("libwebp could not decode");
  }
  return rgb[rgb.size() - 1];
}

struct sample {
  std::vector<std::uint8_t> pixels;  // the picture before encoding
  std::vector<std::uint8_t> jpeg;
  std::vector<std::uint8_t> tiff;
  std::vector<std::uint8_t> webp;
};

const sample& the_sample() {
  static const sample s = [] {
    sample made;
    made.pixels = photo(width, height);
    made.jpeg = encode_jpeg(made.pixels, width, height);
    made.tiff = encode_tiff(made.pixels, width, height);
    made.webp = encode_webp(made.pixels, width, height);
    return made;
  }();
  return s;
}

edgemap_options one_bit_png() {
  edgemap_options o;
  edgemap_options_init(&o);
  o.format = EDGEMAP_FORMAT_PNG;
  o.bits = 1;
  return o;
}

// Converts once, checks that a PNG came out, and frees it.
bool converts(const std::vector<std::uint8_t>& image,
              const edgemap_options& options) {
  void* out = nullptr;
  std::size_t size = 0;
  const int status = edgemap_convert_memory_ex(image.data(), image.size(), &out,
                                               &size, &options);
  const bool png = status == EDGEMAP_OK && size > 8 &&
                   std::memcmp(out, "\x89PNG\r\n\x1a\n", 8) == 0;
  edgemap_free(out);
  return png;
}

void count(benchmark::State& state) {
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) *
                          width * height);
}

const std::vector<std::uint8_t>& the_jpeg() { return the_sample().jpeg; }
const std::vector<std::uint8_t>& the_tiff() { return the_sample().tiff; }
const std::vector<std::uint8_t>& the_webp() { return the_sample().webp; }

void bm_edgemap_png1(benchmark::State& state,
                     const std::vector<std::uint8_t>& (*source)()) {
  const std::vector<std::uint8_t>* const image = &source();
  const edgemap_options options = one_bit_png();
  if (!converts(*image, options)) give_up("the conversion failed");
  for (auto _ : state) {
    void* out = nullptr;
    std::size_t size = 0;
    const int status = edgemap_convert_memory_ex(image->data(), image->size(),
                                                 &out, &size, &options);
    edgemap_free(out);
    if (status != EDGEMAP_OK) state.SkipWithError(edgemap_strerror(status));
  }
  count(state);
}

void bm_libjpeg_decode(benchmark::State& state) {
  const sample& s = the_sample();
  std::vector<std::uint8_t> rows;
  if (decode_jpeg(s.jpeg, rows) == 0) give_up("libjpeg decoded nothing");
  for (auto _ : state) benchmark::DoNotOptimize(decode_jpeg(s.jpeg, rows));
  count(state);
}

void bm_libtiff_decode(benchmark::State& state) {
  tiff_memory m{the_sample().tiff};
  std::vector<std::uint8_t> strip;
  (void)decode_tiff(m, strip);
  for (auto _ : state) benchmark::DoNotOptimize(decode_tiff(m, strip));
  count(state);
}

void bm_libwebp_decode(benchmark::State& state) {
  const sample& s = the_sample();
  std::vector<std::uint8_t> rgb;
  (void)decode_webp(s.webp, rgb);
  for (auto _ : state) benchmark::DoNotOptimize(decode_webp(s.webp, rgb));
  count(state);
}

// The decoded picture's bytes, copied between two buffers touched first.
void bm_memcpy(benchmark::State& state) {
  const sample& s = the_sample();
  std::vector<std::uint8_t> copy(s.pixels.size(), 1);
  for (auto _ : state) {
    std::memcpy(copy.data(), s.pixels.data(), s.pixels.size());
    benchmark::DoNotOptimize(copy.data());
    benchmark::ClobberMemory();
  }
  count(state);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(s.pixels.size()));
}

const int registered = [] {
  const auto common = [](benchmark::internal::Benchmark* b) {
    b->Unit(benchmark::kMillisecond)->UseRealTime();
  };
  common(benchmark::RegisterBenchmark("jpeg/4000x3000/libjpeg_decode",
                                      bm_libjpeg_decode));
  common(benchmark::RegisterBenchmark("jpeg/4000x3000/edgemap_png1",
                                      bm_edgemap_png1, the_jpeg));
  common(benchmark::RegisterBenchmark("tiff/4000x3000/libtiff_decode",
                                      bm_libtiff_decode));
  common(benchmark::RegisterBenchmark("tiff/4000x3000/edgemap_png1",
                                      bm_edgemap_png1, the_tiff));
  common(benchmark::RegisterBenchmark("webp/4000x3000/libwebp_decode",
                                      bm_libwebp_decode));
  common(benchmark::RegisterBenchmark("webp/4000x3000/edgemap_png1",
                                      bm_edgemap_png1, the_webp));
  common(benchmark::RegisterBenchmark("memcpy/4000x3000", bm_memcpy));
  return 0;
}();

}  // namespace
}  // namespace edgemap::bench

BENCHMARK_MAIN();
