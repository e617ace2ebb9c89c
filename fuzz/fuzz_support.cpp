#include "fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace edgemap::fuzz {
namespace {

constexpr std::size_t header_bytes = 54;

void remove_scratch() {
  std::error_code ignored;
  std::filesystem::remove_all(scratch_dir(), ignored);
}

}  // namespace

const std::string& scratch_dir() {
  // Never destroyed, so the exit handler that removes it can still read it.
  static const std::string* const dir = [] {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "edgemap-fuzz-XXXXXX")
            .string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      fail("cannot make a scratch directory");
    }
    auto* kept = new std::string(pattern);
    (void)std::atexit(remove_scratch);
    return kept;
  }();
  return *dir;
}

std::string scratch_path(const char* name) {
  return scratch_dir() + "/" + name;
}

void write_file(const std::string& path, const std::uint8_t* data,
                std::size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    fail("cannot create a scratch file");
  }
  const bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
  if (std::fclose(f) != 0 || !ok) {
    fail("cannot write a scratch file");
  }
}

bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return bytes(std::istreambuf_iterator<char>(in),
               std::istreambuf_iterator<char>());
}

std::uint32_t u32_at(const std::uint8_t* data, std::size_t size,
                     std::size_t at) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    if (at + i < size) {
      v |= static_cast<std::uint32_t>(data[at + i]) << (8 * i);
    }
  }
  return v;
}

void check_target(const bytes& t) {
  if (t.empty()) {
    return;
  }
  if (t.size() < header_bytes) {
    fail("target shorter than its header");
  }
  const std::uint8_t* h = t.data();
  if (h[0] != 'B' || h[1] != 'M' || u32_at(h, t.size(), 10) != 54 ||
      u32_at(h, t.size(), 14) != 40 || h[26] != 1 || h[27] != 0 || h[29] != 0) {
    fail("target header has a wrong constant field");
  }
  if (u32_at(h, t.size(), 2) != t.size()) {
    fail("bfSize differs from the target's length");
  }
  const std::uint64_t width = u32_at(h, t.size(), 18);
  const auto height_field = static_cast<std::int32_t>(u32_at(h, t.size(), 22));
  const auto height = static_cast<std::uint64_t>(
      height_field < 0 ? -static_cast<std::int64_t>(height_field)
                       : static_cast<std::int64_t>(height_field));
  const std::uint64_t bytes_per_pixel = h[28] >> 3;
  if (bytes_per_pixel < 3) {
    fail("target has fewer than 3 bytes per pixel");
  }
  const std::uint64_t row = bytes_per_pixel * width;
  const std::uint64_t stride = (row + 3) & ~std::uint64_t{3};
  if (header_bytes + stride * height != t.size()) {
    fail("target length differs from 54 + stride * height");
  }
  if (stride == 0) {
    return;  // no pixels, however many empty rows the header claims
  }
  for (std::uint64_t r = 0; r < height; ++r) {
    const std::uint8_t* p = h + header_bytes + r * stride;
    for (std::uint64_t c = 0; c < width; ++c, p += bytes_per_pixel) {
      if (!((p[0] == 0 && p[1] == 0 && p[2] == 0) ||
            (p[0] == 255 && p[1] == 255 && p[2] == 255))) {
        fail("target pixel is neither black nor white");
      }
    }
    for (std::uint64_t i = row; i < stride; ++i) {
      if (h[header_bytes + r * stride + i] != 0) {
        fail("target row padding is not zero");
      }
    }
  }
}

void fail(const char* why) {
  (void)std::fprintf(stderr, "edgemap fuzz check failed: %s\n", why);
  std::abort();
}

}  // namespace edgemap::fuzz
