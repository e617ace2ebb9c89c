#include <gtest/gtest.h>

#include <cstring>
#include <iomanip>
#include <random>
#include <string>

#include "bitmap/bitmap_io.h"
#include "edgemap.h"
#include "edges/detect_edges.h"
#include "edges/sobel_kernels.h"
#include "test_support.h"

namespace edgemap {
namespace {

using pixel_fn =
    std::function<std::uint8_t(std::uint32_t, std::uint32_t, std::uint32_t)>;

// A source built from fn and a target pre-filled with 0x77, so bytes the
// detector must not touch stay recognisable.
struct test_image {
  std::uint32_t width, height, bytes_per_pixel, stride;
  test::bytes src, dst;
};

test_image image_for(std::uint32_t width, std::uint32_t height,
                     std::uint32_t bytes_per_pixel, const pixel_fn& fn) {
  test_image s{
      width, height, bytes_per_pixel, test::stride_of(width, bytes_per_pixel),
      {},    {}};
  const std::size_t n = std::size_t{s.stride} * height;
  s.src.assign(n + 1, 0);
  s.dst.assign(n + 1, 0x77);
  for (std::uint32_t r = 0; r < height; ++r) {
    for (std::uint32_t c = 0; c < width; ++c) {
      for (std::uint32_t b = 0; b < bytes_per_pixel; ++b) {
        s.src[r * s.stride + c * bytes_per_pixel + b] = fn(r, c, b);
      }
    }
  }
  return s;
}

void detect(test_image& s, double threshold) {
  pixel_view v{};
  v.src = s.src.data();
  v.src_stride = s.stride;
  v.width = s.width;
  v.height = s.height;
  v.bytes_per_pixel = s.bytes_per_pixel;
  v.dst = s.dst.data();
  v.dst_stride = s.stride;
  v.last_row = s.height;
  ASSERT_TRUE(detect_edges_rows(v, threshold, 1));
}

// 'X' for a black pixel, '.' for white, '?' for anything else; rows joined
// by '|'.
std::string picture(const test_image& s) {
  std::string out;
  for (std::uint32_t r = 0; r < s.height; ++r) {
    if (r > 0) out += '|';
    for (std::uint32_t c = 0; c < s.width; ++c) {
      const std::uint8_t* p = &s.dst[r * s.stride + c * s.bytes_per_pixel];
      const bool black = p[0] == 0 && p[1] == 0 && p[2] == 0;
      const bool white = p[0] == 255 && p[1] == 255 && p[2] == 255;
      out += black ? 'X' : white ? '.' : '?';
    }
  }
  return out;
}

pixel_fn uniform(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2) {
  return [=](std::uint32_t, std::uint32_t, std::uint32_t b) {
    return b == 0 ? b0 : b == 1 ? b1 : b2;
  };
}

struct picture_case {
  const char* name;
  std::uint32_t width, height;
  pixel_fn pixels;
  double threshold;
  const char* expected;
  friend void PrintTo(const picture_case& c, std::ostream* os) {
    *os << c.name;
  }
};

class edge_pictures : public ::testing::TestWithParam<picture_case> {};

TEST_P(edge_pictures, match) {
  const auto& p = GetParam();
  test_image s = image_for(p.width, p.height, 3, p.pixels);
  detect(s, p.threshold);
  EXPECT_EQ(picture(s), p.expected);
}

// Missing neighbours count as gray 0, so a uniform gray g gives the sides
// a response of 4g and the corners two responses of 3g.
INSTANTIATE_TEST_SUITE_P(
    detect_edges, edge_pictures,
    ::testing::Values(
        picture_case{"gray21_all_white", 5, 4, uniform(21, 21, 21), 90.0,
                     ".....|.....|.....|....."},
        picture_case{"gray22_corners", 5, 4, uniform(22, 22, 22), 90.0,
                     "X...X|.....|.....|X...X"},
        picture_case{"gray23_frame", 5, 4, uniform(23, 23, 23), 90.0,
                     "XXXXX|X...X|X...X|XXXXX"},
        // (23 + 23 + 22) / 3 truncates to 22.
        picture_case{"gray_truncates", 5, 4, uniform(23, 23, 22), 90.0,
                     "X...X|.....|.....|X...X"},
        picture_case{"bytes_1_1_0_are_gray_0", 3, 3, uniform(1, 1, 0), 1.0,
                     "...|...|..."},
        picture_case{"bytes_1_1_1_are_gray_1", 3, 3, uniform(1, 1, 1), 1.0,
                     "XXX|X.X|XXX"},
        picture_case{"single_pixel", 1, 1, uniform(255, 255, 255), 90.0, "."},
        picture_case{"single_pixel_threshold_0", 1, 1, uniform(9, 9, 9), 0.0,
                     "X"},
        picture_case{"one_row", 4, 1, uniform(46, 46, 46), 90.0, "X..X"},
        picture_case{"nan_threshold_is_never_reached", 2, 2,
                     uniform(200, 200, 200), std::nan(""), "..|.."}),
    [](const auto& tc) { return std::string(tc.param.name); });

// Responses 54 and 72 give a magnitude of exactly 90.
struct exact_case {
  std::uint8_t right, below;
  double threshold;
  bool black;
  friend void PrintTo(const exact_case& c, std::ostream* os) {
    *os << std::setprecision(17) << "right " << +c.right << ", below "
        << +c.below << ", threshold " << c.threshold;
  }
};

class exact_threshold : public ::testing::TestWithParam<exact_case> {};

TEST_P(exact_threshold, centre_pixel) {
  const auto& p = GetParam();
  test_image s = image_for(
      3, 3, 3,
      [&](std::uint32_t r, std::uint32_t c, std::uint32_t) -> std::uint8_t {
        if (r == 1 && c == 2) return p.right;  // column response 2 * right
        if (r == 2 && c == 1) return p.below;  // row response 2 * below
        return 0;
      });
  detect(s, p.threshold);
  const std::uint8_t expected = p.black ? 0 : 255;
  for (std::uint32_t b = 0; b < 3; ++b) {
    EXPECT_EQ(s.dst[s.stride + 3 + b], expected);
  }
}

INSTANTIATE_TEST_SUITE_P(detect_edges, exact_threshold,
                         ::testing::Values(exact_case{27, 36, 90.0, true},
                                           exact_case{27, 35, 90.0, false},
                                           exact_case{27, 36, 90.000001, false},
                                           exact_case{27, 36, 89.999999, true},
                                           exact_case{0, 0, -1.0, true}));

TEST(detect_edges, four_byte_pixels_keep_their_fourth_byte) {
  test_image s = image_for(
      3, 2, 4,
      [](std::uint32_t r, std::uint32_t c, std::uint32_t b) -> std::uint8_t {
        return b == 3 ? static_cast<std::uint8_t>(10 * r + c) : 200;
      });
  detect(s, 90.0);
  EXPECT_EQ(picture(s), "XXX|XXX");
  for (std::uint32_t i = 0; i < 6; ++i) {
    EXPECT_EQ(s.dst[4 * i + 3], s.src[4 * i + 3]);
  }
}

// An empty image is a success that reads and writes nothing, so even null
// pixel pointers are fine; the legacy stage without an image does nothing.
TEST(detect_edges, empty_images_touch_nothing) {
  for (auto [w, h] : {std::pair{0u, 4u}, std::pair{4u, 0u}}) {
    EXPECT_EQ(edgemap_detect(nullptr, 12, nullptr, 12, w, h, 3, 90.0, 0),
              EDGEMAP_OK);
    EXPECT_EQ(edgemap_detect_mask(nullptr, 12, 3, nullptr, 4, w, h, 90.0, 0),
              EDGEMAP_OK);
  }
  image_state nothing;
  detect_edges(nothing, 90.0);
  EXPECT_FALSE(nothing.target_ready);
}

// Catches offset and stride slips on odd widths.
TEST(detect_edges, random_images_match_integer_sobel) {
  std::mt19937 rng(7);
  for (std::uint32_t w : {1u, 2u, 3u, 5u, 7u, 13u}) {
    for (std::uint32_t h : {1u, 2u, 3u, 6u}) {
      test_image s = image_for(w, h, 3, [&](auto, auto, auto) {
        return static_cast<std::uint8_t>(rng() % 256);
      });
      detect(s, 90.0);
      auto gray = [&](std::int64_t r, std::int64_t c) -> int {
        if (r < 0 || c < 0 || r >= h || c >= w) return 0;
        const std::uint8_t* p =
            &s.src[static_cast<std::size_t>(r * s.stride + c * 3)];
        return (p[0] + p[1] + p[2]) / 3;
      };
      for (std::int64_t r = 0; r < h; ++r) {
        for (std::int64_t c = 0; c < w; ++c) {
          const std::uint8_t want = test::integer_edge(gray, r, c) ? 0 : 255;
          ASSERT_EQ(s.dst[static_cast<std::size_t>(r * s.stride + c * 3)], want)
              << w << "x" << h << " at " << r << "," << c;
        }
      }
    }
  }
}

}  // namespace
}  // namespace edgemap
