#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iterator>

namespace edgemap::test {
namespace {

void put_u32(bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) {
    b[at + static_cast<std::size_t>(i)] =
        static_cast<std::uint8_t>(v >> (8 * i));
  }
}

// Test paths are UTF-8, as in the library; std::string paths would mean
// the ANSI code page on Windows.
std::filesystem::path fs_path(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

}  // namespace

std::uint32_t stride_of(std::uint32_t width, std::uint32_t bytes_per_pixel) {
  return (width * bytes_per_pixel + 3) & ~3u;
}

bytes make_bmp(const bmp_recipe& recipe) {
  const std::uint32_t bpp = (recipe.bit_count & 0xff) >> 3;
  const auto width = static_cast<std::uint32_t>(recipe.width);
  const std::uint32_t rows = static_cast<std::uint32_t>(
      recipe.height < 0 ? -static_cast<std::int64_t>(recipe.height)
                        : recipe.height);
  const std::uint32_t stride = stride_of(width, bpp);
  bytes b(recipe.data_offset + std::size_t{stride} * rows, 0);
  b.resize(std::max<std::size_t>(b.size(), 54));
  b[0] = 'B';
  b[1] = 'M';
  put_u32(b, 2, static_cast<std::uint32_t>(b.size()));
  put_u32(b, 10, recipe.data_offset);
  put_u32(b, 14, 40);
  put_u32(b, 18, width);
  put_u32(b, 22, static_cast<std::uint32_t>(recipe.height));
  b[26] = 1;
  b[28] = static_cast<std::uint8_t>(recipe.bit_count);
  b[29] = static_cast<std::uint8_t>(recipe.bit_count >> 8);
  for (std::uint32_t r = 0; r < rows; ++r) {
    const std::size_t row = recipe.data_offset + std::size_t{r} * stride;
    for (std::uint32_t i = width * bpp; i < stride; ++i) {
      b[row + i] = 0xEE;
    }
    for (std::uint32_t c = 0; c < width; ++c) {
      for (std::uint32_t k = 0; k < bpp; ++k) {
        b[row + c * bpp + k] = recipe.pixel(r, c, k);
      }
    }
  }
  return b;
}

std::unique_ptr<kernel_scratch> make_scratch() {
  return std::make_unique<kernel_scratch>();
}

temp_dir::temp_dir() {
  static std::atomic<int> counter{0};
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = "edgemap-test";
  if (info != nullptr) {
    name += std::string("-") + info->name();
  }
  for (char& ch : name) {
    if (ch == '/') ch = '_';
  }
  dir_ = std::filesystem::temp_directory_path() /
         (name + "-" + std::to_string(counter++));
  std::filesystem::remove_all(dir_);
  std::filesystem::create_directories(dir_);
}

temp_dir::~temp_dir() {
  std::error_code ignored;
  std::filesystem::permissions(dir_, std::filesystem::perms::owner_all,
                               ignored);
  std::filesystem::remove_all(dir_, ignored);
}

std::string temp_dir::path(const std::string& name) const {
  const std::u8string utf8 = (dir_ / fs_path(name)).u8string();
  return std::string(utf8.begin(), utf8.end());
}

void write_file(const std::string& path, const bytes& content) {
  std::ofstream out(fs_path(path), std::ios::binary);
  out.write(reinterpret_cast<const char*>(content.data()),
            static_cast<std::streamsize>(content.size()));
}

bytes read_file(const std::string& path) {
  std::ifstream in(fs_path(path), std::ios::binary);
  return bytes(std::istreambuf_iterator<char>(in),
               std::istreambuf_iterator<char>());
}

std::string captured_stdout(const std::function<void()>& fn) {
  ::testing::internal::CaptureStdout();
  fn();
  return ::testing::internal::GetCapturedStdout();
}

bytes expected_header(std::uint32_t width, std::int32_t height_field,
                      std::uint8_t bit_count, std::uint32_t file_size) {
  bytes h(54, 0);
  h[0] = 'B';
  h[1] = 'M';
  put_u32(h, 2, file_size);
  put_u32(h, 10, 54);
  put_u32(h, 14, 40);
  put_u32(h, 18, width);
  put_u32(h, 22, static_cast<std::uint32_t>(height_field));
  h[26] = 1;
  h[28] = bit_count;
  return h;
}

}  // namespace edgemap::test

namespace edgemap::test {

bool integer_edge(const gray_fn& gray, std::int64_t r, std::int64_t c) {
  const int gx = gray(r - 1, c + 1) + 2 * gray(r, c + 1) + gray(r + 1, c + 1) -
                 gray(r - 1, c - 1) - 2 * gray(r, c - 1) - gray(r + 1, c - 1);
  const int gy = gray(r + 1, c - 1) + 2 * gray(r + 1, c) + gray(r + 1, c + 1) -
                 gray(r - 1, c - 1) - 2 * gray(r - 1, c) - gray(r - 1, c + 1);
  return gx * gx + gy * gy >= 90 * 90;
}

bytes expected_target(const bmp_recipe& recipe) {
  const std::uint32_t bpp = (recipe.bit_count & 0xff) >> 3;
  const auto width = static_cast<std::int64_t>(recipe.width);
  const std::int64_t rows =
      recipe.height < 0 ? -std::int64_t{recipe.height} : recipe.height;
  const std::uint32_t stride =
      stride_of(static_cast<std::uint32_t>(width), bpp);
  const std::uint32_t size = 54 + stride * static_cast<std::uint32_t>(rows);
  bytes out =
      expected_header(static_cast<std::uint32_t>(width), recipe.height,
                      static_cast<std::uint8_t>(recipe.bit_count), size);
  out.resize(size, 0);
  auto gray = [&](std::int64_t r, std::int64_t c) -> int {
    if (r < 0 || c < 0 || r >= rows || c >= width) return 0;
    const auto ur = static_cast<std::uint32_t>(r);
    const auto uc = static_cast<std::uint32_t>(c);
    return (recipe.pixel(ur, uc, 0) + recipe.pixel(ur, uc, 1) +
            recipe.pixel(ur, uc, 2)) /
           3;
  };
  for (std::int64_t r = 0; r < rows; ++r) {
    for (std::int64_t c = 0; c < width; ++c) {
      const std::size_t at = 54 + static_cast<std::size_t>(r) * stride +
                             static_cast<std::size_t>(c) * bpp;
      const std::uint8_t level = integer_edge(gray, r, c) ? 0 : 255;
      for (std::uint32_t b = 0; b < bpp; ++b) {
        out[at + b] = b < 3 ? level
                            : recipe.pixel(static_cast<std::uint32_t>(r),
                                           static_cast<std::uint32_t>(c), b);
      }
    }
  }
  return out;
}

}  // namespace edgemap::test
