// The reentrant C API: images in memory with any strides and thread count
// against the reference, every status with its cause, targets left alone on
// failure, and eight threads converting files at once (under
// ThreadSanitizer in CI).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "edgemap.h"
#include "edges/detect_edges.h"
#include "pipeline/transcode.h"
#include "platform/files.h"
#include "test_support.h"

namespace edgemap {
namespace {

using test::bmp_recipe;
using test::bytes;
namespace fs = std::filesystem;

// An image laid out in a buffer of its own: rows `stride` apart (more than
// the pixels when padded), bottom row first when flipped.
struct laid_out {
  bytes buffer;
  std::uint8_t* first;  // row 0
  std::ptrdiff_t stride;

  laid_out(std::uint32_t height, std::size_t row_bytes, std::size_t pad,
           bool flipped, std::uint8_t fill)
      : buffer(std::max<std::size_t>(1, (row_bytes + pad) * height), fill) {
    const auto step = static_cast<std::ptrdiff_t>(row_bytes + pad);
    stride = flipped ? -step : step;
    first = buffer.data() + (flipped ? step * (height - 1) : 0);
  }
};

struct layout_case {
  const char* name;
  std::uint32_t width, height, bpp;
  std::size_t src_pad, dst_pad;
  bool src_flipped, dst_flipped;
  friend void PrintTo(const layout_case& c, std::ostream* os) { *os << c.name; }
};

class layouts : public ::testing::TestWithParam<layout_case> {};

// Every layout, both outputs and every thread count from 0 to 4 give the
// reference's bytes; padding between rows keeps its fill.
TEST_P(layouts, match_the_reference_for_every_thread_count) {
  const layout_case& p = GetParam();
  std::mt19937 rng(p.width * 131 + p.height);
  const std::size_t row = std::size_t{p.width} * p.bpp;
  laid_out src(p.height, row, p.src_pad, p.src_flipped, 0);
  for (auto& b : src.buffer)
    b = static_cast<std::uint8_t>(rng() % 2 ? 0 : rng());
  for (const edge_output output : {edge_output::picture, edge_output::mask}) {
    const std::size_t out_row = output == edge_output::mask ? p.width : row;
    laid_out want(p.height, out_row, p.dst_pad, p.dst_flipped, 0x77);
    pixel_view v{src.first, src.stride, p.width,     p.height,
                 p.bpp,     want.first, want.stride, 0,
                 p.height,  output,     nullptr};
    detect_edges_reference(v, 90.0);
    for (std::uint32_t r = 0; r < p.height && output == edge_output::picture;
         ++r) {
      for (std::uint32_t c = 0; c < p.width; ++c) {
        for (std::uint32_t b = 3; b < p.bpp; ++b) {
          want.first[r * want.stride + c * p.bpp + b] =
              src.first[r * src.stride + c * p.bpp + b];
        }
      }
    }
    for (unsigned threads = 0; threads <= 4; ++threads) {
      laid_out got(p.height, out_row, p.dst_pad, p.dst_flipped, 0x77);
      const int status =
          output == edge_output::mask
              ? edgemap_detect_mask(src.first, src.stride, p.bpp, got.first,
                                    got.stride, p.width, p.height, 90.0,
                                    threads)
              : edgemap_detect(src.first, src.stride, got.first, got.stride,
                               p.width, p.height, p.bpp, 90.0, threads);
      ASSERT_EQ(status, EDGEMAP_OK);
      ASSERT_TRUE(got.buffer == want.buffer)
          << (output == edge_output::mask ? "mask" : "picture") << " with "
          << threads << " threads";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    api, layouts,
    ::testing::Values(
        layout_case{"packed_rows", 67, 41, 3, 0, 0, false, false},
        layout_case{"padded_rows", 67, 41, 3, 1, 5, false, false},
        layout_case{"bottom_up_source", 40, 33, 3, 0, 0, true, false},
        layout_case{"bottom_up_both", 40, 33, 4, 2, 0, true, true},
        layout_case{"bgra", 130, 20, 4, 0, 3, false, false},
        layout_case{"six_byte_pixels", 29, 17, 6, 4, 0, false, true},
        layout_case{"one_row", 300, 1, 3, 0, 0, false, false},
        layout_case{"one_column", 1, 90, 3, 1, 0, true, false},
        // More rows than the automatic choice splits at, so that bands
        // meet in the middle of the image.
        layout_case{"tall_enough_to_split", 1100, 1000, 3, 0, 0, false, false}),
    [](const auto& tc) { return std::string(tc.param.name); });

// Each argument the API cannot accept, with nothing written.
TEST(api, bad_arguments_write_nothing) {
  bytes buffer(64 * 64, 0x55);
  const bytes before = buffer;
  std::uint8_t* const src = buffer.data();
  std::uint8_t* const dst = buffer.data() + 2048;
  struct bad_call {
    const char* what;
    int status;
  };
  const bad_call calls[] = {
      {"null source", edgemap_detect(nullptr, 12, dst, 12, 4, 4, 3, 90, 1)},
      {"null target", edgemap_detect(src, 12, nullptr, 12, 4, 4, 3, 90, 1)},
      {"two bytes per pixel", edgemap_detect(src, 12, dst, 12, 4, 4, 2, 90, 1)},
      {"source stride short", edgemap_detect(src, 11, dst, 12, 4, 4, 3, 90, 1)},
      {"negative stride short",
       edgemap_detect(src + 33, -11, dst, 12, 4, 4, 3, 90, 1)},
      {"target stride short", edgemap_detect(src, 12, dst, 11, 4, 4, 3, 90, 1)},
      {"target is the source",
       edgemap_detect(src, 12, src, 12, 4, 4, 3, 90, 1)},
      {"target overlaps the last row",
       edgemap_detect(src, 12, src + 47, 12, 4, 4, 3, 90, 1)},
      {"bottom-up target overlaps",
       edgemap_detect(src, 12, src + 80, -12, 4, 4, 3, 90, 1)},
      {"mask stride short",
       edgemap_detect_mask(src, 12, 3, dst, 3, 4, 4, 90, 1)},
      {"mask overlaps",
       edgemap_detect_mask(src, 12, 3, src + 40, 4, 4, 4, 90, 1)},
      {"rows beyond the address space",
       edgemap_detect(src, PTRDIFF_MAX / 2, dst, 12, 4, 4, 3, 90, 1)},
  };
  for (const bad_call& c : calls) {
    EXPECT_EQ(c.status, EDGEMAP_ERROR_ARGUMENT) << c.what;
  }
  EXPECT_TRUE(buffer == before);
  // Touching rows are fine: row ends meet but do not overlap.
  EXPECT_EQ(edgemap_detect(src, 12, src + 48, 12, 4, 4, 3, 90, 1), EDGEMAP_OK);
}

TEST(api, version_and_sentences) {
  EXPECT_STREQ(edgemap_version(), "1.3.0");
  // Callers show these and match on them: each is written out as the
  // documentation gives it.
  const std::pair<int, const char*> documented[] = {
      {EDGEMAP_OK, "success"},
      {EDGEMAP_ERROR_OPEN_SOURCE, "the source cannot be opened"},
      {EDGEMAP_ERROR_HEADER, "the source is too short to be a bitmap"},
      {EDGEMAP_ERROR_BIT_COUNT, "the source has fewer than 24 bits per pixel"},
      {EDGEMAP_ERROR_TOO_LARGE, "the source's pixel array is too large"},
      {EDGEMAP_ERROR_NO_MEMORY, "out of memory"},
      {EDGEMAP_ERROR_TRUNCATED, "the source is shorter than its pixel array"},
      {EDGEMAP_ERROR_OPEN_TARGET, "the target cannot be created"},
      {EDGEMAP_ERROR_WRITE, "the target cannot be written completely"},
      {EDGEMAP_ERROR_ARGUMENT, "invalid argument"},
      {EDGEMAP_ERROR_UNSUPPORTED,
       "the image's format or colour space is not supported"},
      {EDGEMAP_ERROR_PIXEL_LIMIT,
       "the image has more pixels than the limit allows"},
      {EDGEMAP_ERROR_CORRUPT,
       "the image's compressed data is corrupt or cut short"},
      {EDGEMAP_ERROR_NOT_IMAGE,
       "the source is not a BMP, PNG, JPEG, TIFF or WebP image"},
      {EDGEMAP_ERROR_TARGET_TOO_LARGE,
       "the edge map is too large for the target format"},
  };
  std::set<std::string> sentences;
  for (int code = 0; code >= -14; --code) {
    ASSERT_NE(edgemap_strerror(code), nullptr);
    sentences.insert(edgemap_strerror(code));
  }
  EXPECT_EQ(sentences.size(), std::size(documented));
  for (const auto& [code, sentence] : documented) {
    EXPECT_STREQ(edgemap_strerror(code), sentence) << code;
  }
  EXPECT_STREQ(edgemap_strerror(-15), "unknown status code");
  EXPECT_STREQ(edgemap_strerror(std::numeric_limits<int>::min()),
               "unknown status code");
}

std::uint8_t noise(std::uint32_t r, std::uint32_t c, std::uint32_t b) {
  return static_cast<std::uint8_t>((r * 41 + c * 89 + b * 17) * 2654435761u >>
                                   24);
}

bytes patched(bytes b, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    b[at + static_cast<std::size_t>(i)] =
        static_cast<std::uint8_t>(value >> (8 * i));
  }
  return b;
}

struct source_case {
  const char* name;
  bytes file;  // written as the source unless `missing`
  int status;
  bool missing = false;
  friend void PrintTo(const source_case& c, std::ostream* os) { *os << c.name; }
};

std::vector<source_case> source_cases() {
  const bytes good = test::make_bmp({7, 5, 24, 54, noise});
  bytes short_header = good;
  short_header.resize(29);
  bytes bit_count_16 = good;
  bit_count_16[28] = 16;
  bytes cut = good;
  cut.resize(cut.size() - 4);  // one byte more than the last row's padding
  return {
      {"good", good, EDGEMAP_OK},
      {"missing", {}, EDGEMAP_ERROR_OPEN_SOURCE, true},
      {"short_header", short_header, EDGEMAP_ERROR_HEADER},
      {"bit_count_16", bit_count_16, EDGEMAP_ERROR_BIT_COUNT},
      {"pixel_array_too_large", patched(patched(good, 18, 70000), 22, 70000),
       EDGEMAP_ERROR_TOO_LARGE},
      {"truncated", cut, EDGEMAP_ERROR_TRUNCATED},
  };
}

class sources : public ::testing::TestWithParam<source_case> {};

// File and memory conversions judge a source alike; the file conversion
// writes the legacy bytes or leaves the existing target as it was.
TEST_P(sources, file_and_memory_conversions_agree) {
  const source_case& p = GetParam();
  test::temp_dir dir;
  const std::string source = dir.path("s.bmp");
  if (!p.missing) test::write_file(source, p.file);
  const bytes old_target{'o', 'l', 'd'};
  test::write_file(dir.path("t.bmp"), old_target);

  EXPECT_EQ(
      edgemap_convert_file(source.c_str(), dir.path("t.bmp").c_str(), 90.0, 0),
      p.status);
  const bytes target = test::read_file(dir.path("t.bmp"));
  if (p.status == EDGEMAP_OK) {
    EXPECT_TRUE(target == test::expected_target({7, 5, 24, 54, noise}));
  } else {
    EXPECT_TRUE(target == old_target);
  }
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.path(""))) {
    ++files;
  }
  EXPECT_EQ(files, p.missing ? 1u : 2u) << "a temporary file was left behind";

  if (p.missing) return;
  void* out = reinterpret_cast<void*>(1);
  std::size_t out_size = 1;
  EXPECT_EQ(edgemap_convert_memory(p.file.data(), p.file.size(), &out,
                                   &out_size, 90.0, 2),
            p.status);
  if (p.status == EDGEMAP_OK) {
    const auto* o = static_cast<const std::uint8_t*>(out);
    EXPECT_TRUE(bytes(o, o + out_size) == target);
  } else {
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(out_size, 0u);
  }
  edgemap_free(out);
}

INSTANTIATE_TEST_SUITE_P(api, sources, ::testing::ValuesIn(source_cases()),
                         [](const auto& tc) {
                           return std::string(tc.param.name);
                         });

TEST(api, target_failures_and_bad_calls) {
  test::temp_dir dir;
  const std::string source = dir.path("s.bmp");
  test::write_file(source, test::make_bmp({7, 5, 24, 54, noise}));
  fs::create_directory(dir.path("folder"));
  EXPECT_EQ(edgemap_convert_file(source.c_str(),
                                 dir.path("no/such/t.bmp").c_str(), 90, 0),
            EDGEMAP_ERROR_OPEN_TARGET);
  EXPECT_EQ(
      edgemap_convert_file(source.c_str(), dir.path("folder").c_str(), 90, 0),
      EDGEMAP_ERROR_OPEN_TARGET);
#ifndef _WIN32
  EXPECT_EQ(edgemap_convert_file(source.c_str(), "/dev/full", 90, 0),
            EDGEMAP_ERROR_WRITE);
#endif
  EXPECT_EQ(edgemap_convert_file(nullptr, dir.path("t.bmp").c_str(), 90, 0),
            EDGEMAP_ERROR_ARGUMENT);
  EXPECT_EQ(edgemap_convert_file(source.c_str(), nullptr, 90, 0),
            EDGEMAP_ERROR_ARGUMENT);
  std::size_t size = 0;
  void* out = nullptr;
  EXPECT_EQ(edgemap_convert_memory(nullptr, 10, &out, &size, 90, 0),
            EDGEMAP_ERROR_ARGUMENT);
  EXPECT_EQ(edgemap_convert_memory(nullptr, 0, &out, &size, 90, 0),
            EDGEMAP_ERROR_HEADER);
  EXPECT_EQ(edgemap_convert_memory(source.data(), 4, nullptr, &size, 90, 0),
            EDGEMAP_ERROR_ARGUMENT);
  EXPECT_EQ(edgemap_convert_memory(source.data(), 4, &out, nullptr, 90, 0),
            EDGEMAP_ERROR_ARGUMENT);
}

// The options struct by the size its caller gives: only this version's
// own is read. A larger one comes from a newer header whose fields this
// version would ignore, a smaller one from no release at all.
TEST(api, options_of_another_size_are_refused) {
  test::temp_dir dir;
  const bytes source = test::make_bmp({7, 5, 24, 54, noise});
  test::write_file(dir.path("s.bmp"), source);
  struct {
    edgemap_options o;
    unsigned char newer_fields[16];
  } room{};
  edgemap_options_init(&room.o);
  const struct {
    std::size_t size;
    int status;
  } cases[] = {{sizeof(edgemap_options), EDGEMAP_OK},
               // 1.2's, which ended at max_pixels.
               {offsetof(edgemap_options, orient), EDGEMAP_OK},
               {offsetof(edgemap_options, orient) - 4, EDGEMAP_ERROR_ARGUMENT},
               {sizeof room, EDGEMAP_ERROR_ARGUMENT}};
  for (const auto& c : cases) {
    room.o.size = c.size;
    void* out = nullptr;
    std::size_t out_size = 0;
    EXPECT_EQ(edgemap_convert_memory_ex(source.data(), source.size(), &out,
                                        &out_size, &room.o),
              c.status)
        << "size " << c.size;
    edgemap_free(out);
    EXPECT_EQ(edgemap_convert_file_ex(dir.path("s.bmp").c_str(),
                                      dir.path("t.bmp").c_str(), &room.o),
              c.status)
        << "size " << c.size;
  }
}

// GCC 12 misreads "s" + std::to_string(i) + ".bmp" at -O3 (-Wrestrict).
std::string numbered(const char* prefix, int i) {
  std::string name = prefix;
  name += std::to_string(i);
  name += ".bmp";
  return name;
}

// Eight threads converting files of their own at once, through the same
// buffer caches and worker pool: every target is its own source's edge
// map. Under ThreadSanitizer in CI.
TEST(api, eight_threads_convert_files_at_once) {
  constexpr int threads = 8;
  constexpr int rounds = 6;
  test::temp_dir dir;
  std::vector<bytes> expected;
  for (int i = 0; i < threads; ++i) {
    const bmp_recipe r{20 + 7 * i, (i % 2 ? -1 : 1) * (9 + i),
                       static_cast<std::uint16_t>(i % 3 ? 24 : 32), 54, noise};
    test::write_file(dir.path(numbered("s", i)), test::make_bmp(r));
    expected.push_back(test::expected_target(r));
  }
  std::vector<int> failures(threads, 0);
  std::vector<std::thread> pool;
  for (int i = 0; i < threads; ++i) {
    pool.emplace_back([&, i] {
      const std::string s = dir.path(numbered("s", i));
      const std::string t = dir.path(numbered("t", i));
      for (int k = 0; k < rounds; ++k) {
        failures[i] +=
            edgemap_convert_file(s.c_str(), t.c_str(), 90.0,
                                 static_cast<unsigned>(k % 3)) != EDGEMAP_OK;
        failures[i] += test::read_file(t) != expected[i];
      }
    });
  }
  for (auto& t : pool) t.join();
  for (int i = 0; i < threads; ++i) EXPECT_EQ(failures[i], 0) << "thread " << i;
}

// One pixel limit on every face: the default guards compressed images and
// is not applied to a bitmap to a bitmap at its own depth, as 1.1 applied
// none; a limit the caller sets applies to every conversion. A stream is
// judged by its header before its pixels are read, so a header declaring
// 20000 x 20000 pixels over no pixel array tells which rule held: a limit
// refuses it first, else it is shorter than its pixel array.
TEST(api, the_default_pixel_limit_spares_the_legacy_conversion) {
  test::temp_dir dir;
  bytes header = test::make_bmp(bmp_recipe{1, 1});
  header.resize(54);
  for (int k = 0; k < 4; ++k) {
    header[18 + k] = header[22 + k] =
        static_cast<std::uint8_t>((20000u >> (8 * k)) & 0xffu);
  }
  test::write_file(dir.path("s.bmp"), header);
  struct limit_case {
    unsigned bits;
    std::uint64_t max_pixels;
    status expected;
  } const cases[] = {
      {0, EDGEMAP_DEFAULT_MAX_PIXELS, status::truncated},
      {0, 1000, status::pixel_limit},
      {24, EDGEMAP_DEFAULT_MAX_PIXELS, status::pixel_limit},
      {1, 0, status::truncated},
  };
  for (const limit_case& c : cases) {
    transcode_options o;
    o.format = target_format::bmp;
    o.bits = c.bits;
    o.max_pixels = c.max_pixels;
    const file_ptr in(std::fopen(dir.path("s.bmp").c_str(), "rb"));
    const std::string t = dir.path("t.bmp");
    EXPECT_EQ(transcode_stream(in.get(), {t.c_str(), nullptr}, o).failure(),
              c.expected)
        << "bits " << c.bits << ", max_pixels " << c.max_pixels;
  }
}

}  // namespace
}  // namespace edgemap
