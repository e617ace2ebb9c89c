#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bitmap/bitmap_io.h"
#include "core/pixel_buffer.h"
#include "edgemap.h"
#include "edges/detect_edges.h"
#include "entry/pipeline.h"
#include "test_support.h"

namespace edgemap {
namespace {

using test::bmp_recipe;
using test::bytes;

std::uint8_t noise(std::uint32_t r, std::uint32_t c, std::uint32_t b) {
  return static_cast<std::uint8_t>((r * 37 + c * 101 + b * 59) * 2654435761u >>
                                   24);
}

std::string size_lines(std::uint32_t file_size, std::uint32_t pixel_size) {
  return "file size = " + std::to_string(file_size) +
         "\nsize = " + std::to_string(pixel_size) + ".000000\n";
}

// Runs the whole pipeline over state and returns what it printed.
std::string run(image_state& state, const std::string& source,
                const std::string& target) {
  return test::captured_stdout([&] {
    run_pipeline(state, source.c_str(), target.c_str(),
                 EDGEMAP_DEFAULT_THRESHOLD);
  });
}

struct round_trip_case {
  const char* name;
  std::int32_t width, height;
  std::uint16_t bit_count;
  std::uint32_t data_offset;
  friend void PrintTo(const round_trip_case& c, std::ostream* os) {
    *os << c.name;
  }
};

class round_trip : public ::testing::TestWithParam<round_trip_case> {};

TEST_P(round_trip, target_is_exact) {
  const auto& p = GetParam();
  bmp_recipe recipe{p.width, p.height, p.bit_count, p.data_offset, noise};
  test::temp_dir dir;
  test::write_file(dir.path("s.bmp"), test::make_bmp(recipe));
  image_state state;
  const std::string out = run(state, dir.path("s.bmp"), dir.path("t.bmp"));
  const bytes expected = test::expected_target(recipe);
  const bytes target = test::read_file(dir.path("t.bmp"));
  const auto pixel_size = static_cast<std::uint32_t>(expected.size() - 54);
  EXPECT_EQ(out, size_lines(54 + pixel_size, pixel_size));
  ASSERT_EQ(target.size(), expected.size());
  EXPECT_TRUE(target == expected);
}

INSTANTIATE_TEST_SUITE_P(
    bitmap, round_trip,
    ::testing::Values(round_trip_case{"aligned_rows", 4, 3, 24, 54},
                      round_trip_case{"padded_rows", 5, 3, 24, 54},
                      round_trip_case{"padded_rows_two_bytes", 7, 4, 24, 54},
                      round_trip_case{"single_pixel", 1, 1, 24, 54},
                      round_trip_case{"top_down", 6, -5, 24, 54},
                      round_trip_case{"bgra_v5_header", 5, 4, 32, 138},
                      round_trip_case{"bgra_v4_header", 3, 3, 32, 122},
                      round_trip_case{"bit_count_high_byte_ignored", 4, 2,
                                      0x1218, 54},
                      round_trip_case{"small_data_offset", 4, 2, 24, 30},
                      round_trip_case{"zero_width", 0, 5, 24, 54},
                      round_trip_case{"zero_height", 8, 0, 24, 54},
                      round_trip_case{"vga", 640, 480, 24, 54},
                      round_trip_case{"odd_large", 1001, 67, 24, 54}),
    [](const auto& tc) { return std::string(tc.param.name); });

// Sources several bands tall: a file conversion reads them a band at a
// time into windows that take over the rows at each seam, on one thread or
// with the next band read while this one is computed; the legacy stages
// split the whole pixel array into the same bands. Every way gives the
// bytes of the memory conversion, which takes the image in one piece.
struct banded_case {
  const char* name;
  std::int32_t width;
  std::uint16_t bit_count;
  bool top_down;
  std::uint32_t bands;  // whole bands, and a few rows more
  friend void PrintTo(const banded_case& c, std::ostream* os) { *os << c.name; }
};

class banded : public ::testing::TestWithParam<banded_case> {};

std::string first_difference(const bytes& want, const bytes& got,
                             std::uint32_t stride, std::uint32_t per_band) {
  if (want.size() != got.size()) {
    return std::to_string(got.size()) + " bytes, not " +
           std::to_string(want.size());
  }
  for (std::size_t i = 54; i < want.size(); ++i) {
    if (want[i] != got[i]) {
      const std::size_t row = (i - 54) / stride;
      return "stored row " + std::to_string(row) + " differs (" +
             std::to_string(per_band) + " rows a band)";
    }
  }
  return want == got ? "the same" : "the header differs";
}

TEST_P(banded, every_seam_matches_the_image_taken_whole) {
  const banded_case& p = GetParam();
  const std::uint32_t stride =
      test::stride_of(static_cast<std::uint32_t>(p.width), p.bit_count / 8u);
  const std::uint32_t per_band = band_rows(stride, UINT32_MAX);
  const auto rows = static_cast<std::int32_t>(p.bands * per_band + 5);
  const bmp_recipe recipe{p.width, p.top_down ? -rows : rows, p.bit_count, 54,
                          noise};
  const bytes source = test::make_bmp(recipe);
  void* out = nullptr;
  std::size_t size = 0;
  ASSERT_EQ(edgemap_convert_memory(source.data(), source.size(), &out, &size,
                                   EDGEMAP_DEFAULT_THRESHOLD, 1),
            EDGEMAP_OK);
  const bytes want(static_cast<std::uint8_t*>(out),
                   static_cast<std::uint8_t*>(out) + size);
  edgemap_free(out);

  test::temp_dir dir;
  test::write_file(dir.path("s.bmp"), source);
  for (const unsigned threads : {1u, 0u}) {
    ASSERT_EQ(edgemap_convert_file(dir.path("s.bmp").c_str(),
                                   dir.path("t.bmp").c_str(),
                                   EDGEMAP_DEFAULT_THRESHOLD, threads),
              EDGEMAP_OK);
    EXPECT_EQ(first_difference(want, test::read_file(dir.path("t.bmp")), stride,
                               per_band),
              "the same")
        << "file conversion on " << threads << " threads";
  }
  image_state state;
  run(state, dir.path("s.bmp"), dir.path("legacy.bmp"));
  EXPECT_EQ(first_difference(want, test::read_file(dir.path("legacy.bmp")),
                             stride, per_band),
            "the same")
      << "legacy stages";
}

// Wide rows, so that a band is a few dozen rows and the files a few MiB.
INSTANTIATE_TEST_SUITE_P(
    bitmap, banded,
    ::testing::Values(banded_case{"odd_width_24_bit", 40001, 24, false, 3},
                      banded_case{"odd_width_32_bit_top_down", 10001, 32, true,
                                  3}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST(bitmap, last_row_pad_may_be_missing) {
  bmp_recipe recipe{5, 2, 24, 54, noise};
  bytes file = test::make_bmp(recipe);
  file.resize(file.size() - 1);
  test::temp_dir dir;
  test::write_file(dir.path("s.bmp"), file);
  image_state state;
  EXPECT_EQ(run(state, dir.path("s.bmp"), dir.path("t.bmp")),
            size_lines(54 + 32, 32));
  EXPECT_TRUE(test::read_file(dir.path("t.bmp")) ==
              test::expected_target(recipe));
}

// Every rejected source prints its one line and leaves no image behind:
// the save that follows writes an empty target.
struct rejected_case {
  const char* name;
  bytes file;
  const char* message;
  friend void PrintTo(const rejected_case& c, std::ostream* os) {
    *os << c.name;
  }
};

bytes valid_bmp() { return test::make_bmp({4, 3, 24, 54, noise}); }

bytes patched(bytes b, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    b[at + static_cast<std::size_t>(i)] =
        static_cast<std::uint8_t>(value >> (8 * i));
  }
  return b;
}

std::vector<rejected_case> rejected_cases() {
  bytes short_header = valid_bmp();
  short_header.resize(29);
  bytes bit_count_8 = valid_bmp();
  bit_count_8[28] = 8;
  bytes bit_count_23 = valid_bmp();
  bit_count_23[28] = 23;
  bytes cut_pixels = valid_bmp();
  cut_pixels.resize(cut_pixels.size() - 2);
  return {
      {"empty_file", {}, "fread fp_s error\n"},
      {"header_cut_at_29", short_header, "fread fp_s error\n"},
      {"bit_count_8", bit_count_8, "check bit_count error\n"},
      {"bit_count_23", bit_count_23, "check bit_count error\n"},
      {"huge_dimensions", patched(patched(valid_bmp(), 18, 70000), 22, 70000),
       "malloc images_s error\n"},
      {"negative_width", patched(valid_bmp(), 18, 0xFFFFFFFFu),
       "malloc images_s error\n"},
      {"most_negative_height", patched(valid_bmp(), 22, 0x80000000u),
       "malloc images_s error\n"},
      {"dimensions_claim_gigabytes",
       patched(patched(valid_bmp(), 18, 20000), 22, 30000),
       "fread images_s error\n"},
      {"pixels_cut_short", cut_pixels, "fread images_s error\n"},
      {"data_offset_past_end", patched(valid_bmp(), 10, 4000),
       "fread images_s error\n"},
  };
}

class rejected : public ::testing::TestWithParam<rejected_case> {};

TEST_P(rejected, prints_one_line_and_drops_the_image) {
  test::temp_dir dir;
  test::write_file(dir.path("good.bmp"), valid_bmp());
  test::write_file(dir.path("bad.bmp"), GetParam().file);
  image_state state;
  run(state, dir.path("good.bmp"), dir.path("first.bmp"));
  EXPECT_EQ(run(state, dir.path("bad.bmp"), dir.path("t.bmp")),
            std::string(GetParam().message) + size_lines(0, 0));
  EXPECT_TRUE(test::read_file(dir.path("t.bmp")).empty());
  EXPECT_FALSE(state.fp_s);
}

INSTANTIATE_TEST_SUITE_P(bitmap, rejected,
                         ::testing::ValuesIn(rejected_cases()),
                         [](const auto& tc) {
                           return std::string(tc.param.name);
                         });

#if SIZE_MAX == UINT32_MAX
// Where size_t has 32 bits, a pixel array that fits the 32-bit fields but
// not the address space must fail its allocation cleanly: 3.7 GiB fits no
// 32-bit process (just over 2 GiB may, now that the source is the one large
// buffer). The file is sparse, so it costs no disk, and past 2 GiB, so its
// size is only known with 64-bit file offsets.
TEST(bitmap, pixel_array_beyond_the_address_space_is_refused) {
  constexpr std::uint32_t width = 32768;
  constexpr std::uint32_t height = 40000;  // 3 * 32768 * 40000: 3.7 GiB
  test::temp_dir dir;
  test::write_file(dir.path("big.bmp"),
                   patched(patched(valid_bmp(), 18, width), 22, height));
  std::filesystem::resize_file(dir.path("big.bmp"),
                               54 + std::uint64_t{3} * width * height);
  image_state state;
  // Which of the two buffers fails depends on the allocator; with glibc's
  // malloc, which refuses anything past PTRDIFF_MAX, it is the first.
  const std::string out = run(state, dir.path("big.bmp"), dir.path("t.bmp"));
  EXPECT_TRUE(out == "malloc images_s error\n" + size_lines(0, 0) ||
              out == "malloc image_t error\n" + size_lines(0, 0))
      << out;
  EXPECT_TRUE(test::read_file(dir.path("t.bmp")).empty());
}
#endif

TEST(bitmap, missing_source_on_a_fresh_state_writes_an_empty_target) {
  test::temp_dir dir;
  image_state state;
  EXPECT_EQ(run(state, dir.path("missing.bmp"), dir.path("t.bmp")),
            "fopen fp_s error\n" + size_lines(0, 0));
  EXPECT_TRUE(std::filesystem::exists(dir.path("t.bmp")));
  EXPECT_TRUE(test::read_file(dir.path("t.bmp")).empty());
}

TEST(bitmap, missing_source_saves_the_previous_image_again) {
  test::temp_dir dir;
  bmp_recipe recipe{5, 3, 24, 54, noise};
  test::write_file(dir.path("s.bmp"), test::make_bmp(recipe));
  image_state state;
  run(state, dir.path("s.bmp"), dir.path("first.bmp"));
  EXPECT_EQ(run(state, dir.path("missing.bmp"), dir.path("again.bmp")),
            "fopen fp_s error\n" + size_lines(54 + 48, 48));
  EXPECT_TRUE(test::read_file(dir.path("again.bmp")) ==
              test::expected_target(recipe));
}

TEST(bitmap, a_load_replaces_the_previous_image) {
  test::temp_dir dir;
  bmp_recipe big{9, 7, 32, 54, noise};
  bmp_recipe small{2, 2, 24, 54, noise};
  test::write_file(dir.path("big.bmp"), test::make_bmp(big));
  test::write_file(dir.path("small.bmp"), test::make_bmp(small));
  image_state state;
  run(state, dir.path("big.bmp"), dir.path("t1.bmp"));
  run(state, dir.path("small.bmp"), dir.path("t2.bmp"));
  EXPECT_TRUE(test::read_file(dir.path("t2.bmp")) ==
              test::expected_target(small));
}

struct target_failure_case {
  const char* name;
  std::string target;  // under the test's directory unless absolute
  const char* tail;
  friend void PrintTo(const target_failure_case& c, std::ostream* os) {
    *os << c.name;
  }
};

class target_failure : public ::testing::TestWithParam<target_failure_case> {};

TEST_P(target_failure, reports_after_the_size_lines_or_instead_of_them) {
  test::temp_dir dir;
  test::write_file(dir.path("s.bmp"), valid_bmp());
  std::filesystem::create_directory(dir.path("a_directory"));
  const std::string target = GetParam().target.starts_with("/")
                                 ? GetParam().target
                                 : dir.path(GetParam().target);
  image_state state;
  bool succeeded = true;
  const std::string out = test::captured_stdout([&] {
    succeeded = run_pipeline(state, dir.path("s.bmp").c_str(), target.c_str(),
                             EDGEMAP_DEFAULT_THRESHOLD);
  });
  EXPECT_EQ(out, GetParam().tail);
  EXPECT_FALSE(succeeded);
  EXPECT_FALSE(state.fp_s);
}

std::vector<target_failure_case> target_failure_cases() {
  std::vector<target_failure_case> cases{
      {"missing_directory", "no/such/dir/t.bmp", "fopen fname_t error\n"},
      {"target_is_a_directory", "a_directory", "fopen fname_t error\n"},
  };
#ifndef _WIN32
  // Windows has no device that fails every write.
  cases.push_back({"full_disk", "/dev/full",
                   "file size = 90\nsize = 36.000000\nfwrite fp_t error\n"});
#endif
  return cases;
}

INSTANTIATE_TEST_SUITE_P(bitmap, target_failure,
                         ::testing::ValuesIn(target_failure_cases()),
                         [](const auto& tc) {
                           return std::string(tc.param.name);
                         });

TEST(bitmap, no_path_fails_like_a_failed_open) {
  image_state state;
  const std::string out = test::captured_stdout([&] {
    EXPECT_FALSE(
        run_pipeline(state, nullptr, nullptr, EDGEMAP_DEFAULT_THRESHOLD));
  });
  EXPECT_EQ(out, "fopen fp_s error\nfopen fname_t error\n");
}

TEST(bitmap, source_and_target_may_be_the_same_file) {
  test::temp_dir dir;
  bmp_recipe recipe{7, 5, 24, 54, noise};
  test::write_file(dir.path("same.bmp"), test::make_bmp(recipe));
  image_state state;
  run(state, dir.path("same.bmp"), dir.path("same.bmp"));
  EXPECT_TRUE(test::read_file(dir.path("same.bmp")) ==
              test::expected_target(recipe));
}

}  // namespace
}  // namespace edgemap

#if defined(__linux__)
namespace edgemap {
namespace {

std::size_t open_descriptors() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator("/proc/self/fd")) {
    ++n;
  }
  return n;
}

// Every path through the stages, successful or not, gives back its files.
TEST(bitmap, no_stream_outlives_its_call) {
  test::temp_dir dir;
  test::write_file(dir.path("good.bmp"), valid_bmp());
  test::write_file(dir.path("bad.bmp"), {1, 2, 3});
  image_state state;
  const std::size_t before = open_descriptors();
  test::captured_stdout([&] {
    for (const char* source : {"good.bmp", "bad.bmp", "missing.bmp"}) {
      for (const char* target : {"t.bmp", "no/dir/t.bmp"}) {
        run_pipeline(state, dir.path(source).c_str(), dir.path(target).c_str(),
                     EDGEMAP_DEFAULT_THRESHOLD);
      }
    }
    // A load whose save never runs leaves its stream to the next load.
    load_image_s(state, dir.path("good.bmp").c_str());
    load_image_s(state, dir.path("good.bmp").c_str());
    save_image_t(state, "/dev/full");
  });
  EXPECT_EQ(open_descriptors(), before);
}

}  // namespace
}  // namespace edgemap
#endif

namespace edgemap {
namespace {

// Row padding is zero in every target, even where the memory it is written
// from last held a white picture (255s where the pads fall now): the
// legacy entry reuses its buffers, file conversions borrow cached ones and
// memory conversions get the heap's leftovers.
TEST(bitmap, row_padding_is_zero_after_a_white_picture) {
  test::temp_dir dir;
  const bmp_recipe white{41, 40, 24, 54, [](auto, auto, auto) {
                           return std::uint8_t{10};  // gray 10: no edges
                         }};
  const bmp_recipe padded{5, 3, 24, 54, noise};  // 1 pad byte a row
  test::write_file(dir.path("white.bmp"), test::make_bmp(white));
  test::write_file(dir.path("padded.bmp"), test::make_bmp(padded));
  const bytes want = test::expected_target(padded);

  image_state state;
  run(state, dir.path("white.bmp"), dir.path("w.bmp"));
  run(state, dir.path("padded.bmp"), dir.path("legacy.bmp"));
  EXPECT_TRUE(test::read_file(dir.path("legacy.bmp")) == want);

  for (int k = 0; k < 4; ++k) {
    ASSERT_EQ(edgemap_convert_file(dir.path("white.bmp").c_str(),
                                   dir.path("w.bmp").c_str(), 90.0, 1),
              EDGEMAP_OK);
    ASSERT_EQ(edgemap_convert_file(dir.path("padded.bmp").c_str(),
                                   dir.path("api.bmp").c_str(), 90.0, 1),
              EDGEMAP_OK);
    EXPECT_TRUE(test::read_file(dir.path("api.bmp")) == want);
  }

  const bytes source = test::make_bmp(padded);
  const bytes white_source = test::make_bmp(white);
  for (int k = 0; k < 4; ++k) {
    void* out = nullptr;
    std::size_t size = 0;
    ASSERT_EQ(edgemap_convert_memory(white_source.data(), white_source.size(),
                                     &out, &size, 90.0, 1),
              EDGEMAP_OK);
    edgemap_free(out);
    ASSERT_EQ(edgemap_convert_memory(source.data(), source.size(), &out, &size,
                                     90.0, 1),
              EDGEMAP_OK);
    const auto* o = static_cast<const std::uint8_t*>(out);
    EXPECT_TRUE(bytes(o, o + size) == want);
    edgemap_free(out);
  }
}

#if !defined(_WIN32)
// Each line reaches the file behind standard output when it is printed,
// not when the process happens to flush: a host that reads its log while
// the library runs, or dies after the call, sees every line. Standard
// output to a file is fully buffered, so an unflushed line would still be
// in the buffer when the file is read back here.
TEST(bitmap, every_line_is_flushed_at_once) {
  test::temp_dir dir;
  test::write_file(dir.path("s.bmp"), valid_bmp());
  (void)std::fflush(stdout);
  const int file =
      ::open(dir.path("out.txt").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  if (file < 0) {
    FAIL() << "cannot create " << dir.path("out.txt");
  }
  const int saved = ::dup(1);
  ::dup2(file, 1);
  image_state state;
  run_pipeline(state, dir.path("missing.bmp").c_str(),
               dir.path("t.bmp").c_str(), EDGEMAP_DEFAULT_THRESHOLD);
  const bytes seen = test::read_file(dir.path("out.txt"));
  ::dup2(saved, 1);
  ::close(saved);
  ::close(file);
  EXPECT_EQ(std::string(seen.begin(), seen.end()),
            "fopen fp_s error\n" + size_lines(0, 0));
}
#endif

TEST(pixel_buffer, keeps_its_memory_while_images_fit) {
  pixel_buffer buffer;
  ASSERT_TRUE(buffer.reserve(0));
  EXPECT_GE(buffer.capacity(), 1u);
  ASSERT_TRUE(buffer.reserve(3u << 20));
  std::uint8_t* const big = buffer.get();
  std::memset(big, 1, 3u << 20);
#if defined(__linux__)
  // Large buffers start on a huge-page boundary.
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(big) % (2u << 20), 0u);
#endif
  ASSERT_TRUE(buffer.reserve(100));
  EXPECT_EQ(buffer.get(), big);
  ASSERT_TRUE(buffer.reserve(buffer.capacity()));
  EXPECT_EQ(buffer.get(), big);
  ASSERT_TRUE(buffer.reserve(buffer.capacity() + 1));
  std::memset(buffer.get(), 2, buffer.capacity());
  pixel_buffer moved = std::move(buffer);
  EXPECT_FALSE(buffer);
  EXPECT_TRUE(moved);
}

// A reused target buffer holds the previous image's edge map; a save that
// detect_edges did not precede must not write those leftovers.
TEST(pixel_buffer, a_target_saved_without_detection_is_zero) {
  test::temp_dir dir;
  auto gray_noise = [](std::uint32_t r, std::uint32_t c, std::uint32_t) {
    return static_cast<std::uint8_t>((r * 7 + c * 13) % 5 * 60);
  };
  const test::bmp_recipe first{40, 30, 24, 54, gray_noise};
  const test::bmp_recipe second{9, 5, 24, 54, gray_noise};
  test::write_file(dir.path("first.bmp"), test::make_bmp(first));
  test::write_file(dir.path("second.bmp"), test::make_bmp(second));
  image_state state;
  (void)test::captured_stdout([&] {
    ASSERT_EQ(load_image_s(state, dir.path("first.bmp").c_str()), status::ok);
    detect_edges(state, 90.0);
    ASSERT_EQ(save_image_t(state, dir.path("t1.bmp").c_str()), status::ok);
    ASSERT_EQ(load_image_s(state, dir.path("second.bmp").c_str()), status::ok);
    ASSERT_EQ(save_image_t(state, dir.path("t2.bmp").c_str()), status::ok);
  });
  EXPECT_TRUE(test::read_file(dir.path("t1.bmp")) ==
              test::expected_target(first));
  const bytes t2 = test::read_file(dir.path("t2.bmp"));
  ASSERT_EQ(t2.size(), 54u + 28u * 5u);
  EXPECT_TRUE(std::all_of(t2.begin() + 54, t2.end(),
                          [](std::uint8_t b) { return b == 0; }));
}

}  // namespace
}  // namespace edgemap
