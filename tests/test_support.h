// Small bitmaps built in memory, temporary files and captured output.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "edges/detect_edges.h"

namespace edgemap::test {

using bytes = std::vector<std::uint8_t>;

struct bmp_recipe {
  std::int32_t width = 0;
  std::int32_t height = 0;  // negative: rows stored top-down
  std::uint16_t bit_count = 24;
  std::uint32_t data_offset = 54;
  // Byte b of pixel (row, column) in file order; pad bytes are 0xEE so a
  // reader that takes them as pixels shows it.
  std::function<std::uint8_t(std::uint32_t row, std::uint32_t column,
                             std::uint32_t b)>
      pixel = [](std::uint32_t, std::uint32_t, std::uint32_t) {
        return std::uint8_t{0};
      };
};

std::uint32_t stride_of(std::uint32_t width, std::uint32_t bytes_per_pixel);
bytes make_bmp(const bmp_recipe& recipe);

// A fresh directory per test, removed with it.
class temp_dir {
 public:
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  std::string path(const std::string& name) const;

 private:
  std::filesystem::path dir_;
};

void write_file(const std::string& path, const bytes& content);
bytes read_file(const std::string& path);

// Runs fn with standard output captured and returns what it printed.
std::string captured_stdout(const std::function<void()>& fn);

// Scratch memory for calling a kernel directly.
std::unique_ptr<kernel_scratch> make_scratch();

// The 54 header bytes a target of these dimensions must start with.
bytes expected_header(std::uint32_t width, std::int32_t height_field,
                      std::uint8_t bit_count, std::uint32_t file_size);

}  // namespace edgemap::test

namespace edgemap::test {

// An independent integer formulation of the detector at threshold 90:
// black exactly when gx^2 + gy^2 reaches 8100. gray(r, c) must return 0
// outside the image.
using gray_fn = std::function<int(std::int64_t row, std::int64_t column)>;
bool integer_edge(const gray_fn& gray, std::int64_t row, std::int64_t column);

// The target file a bitmap built from recipe must give at threshold 90.
bytes expected_target(const bmp_recipe& recipe);

}  // namespace edgemap::test
