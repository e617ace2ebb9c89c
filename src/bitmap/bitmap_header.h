// The bitmap format as this library reads and writes it: the four header
// fields a source is judged by, the checks made on them, and the 54-byte
// header image the target gets. Everything here works on bytes in memory;
// the file shell and the memory API both go through it.
#pragma once

#include <array>
#include <cstdint>

#include "core/status.h"

namespace edgemap {

constexpr std::uint32_t header_size = 54;

// Offsets of the header fields this library reads or writes.
constexpr std::uint32_t offset_bf_size = 2;
constexpr std::uint32_t offset_bf_off_bits = 10;
constexpr std::uint32_t offset_bi_width = 18;
constexpr std::uint32_t offset_bi_height = 22;
constexpr std::uint32_t offset_bi_bit_count = 28;
// The loader needs every byte up to the end of biBitCount.
constexpr std::uint32_t fields_end = 30;

std::uint32_t read_u32_le(const std::uint8_t* p) noexcept;
std::uint16_t read_u16_le(const std::uint8_t* p) noexcept;
void write_u32_le(std::uint8_t* p, std::uint32_t value) noexcept;

// A source's pixel array as its header describes it. Rows are stride bytes
// apart (padded to 4) in file order; a top-down source keeps its order.
struct bitmap_layout {
  std::uint32_t data_offset = 0;  // where the pixel array starts
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  bool top_down = false;        // biHeight was negative
  std::uint16_t bit_count = 0;  // biBitCount as read; only its low byte counts
  std::uint16_t bytes_per_pixel = 0;
  std::uint32_t stride = 0;
  std::uint32_t pixel_bytes = 0;  // stride * height
  // Bytes the file must hold from data_offset on: the pixel array less the
  // last row's padding, which may be missing.
  std::uint32_t needed = 0;

  std::uint32_t row_bytes() const noexcept {
    return std::uint32_t{bytes_per_pixel} * width;
  }
};

// Judges a source of file_size bytes by its first `available` bytes, in the
// order hosts have always seen: too short for the fields (header), fewer
// than 24 bits per pixel (bit_count), a target too large for bfSize's 32
// bits (too_large), a file shorter than its pixel array (truncated).
status parse_bitmap(const std::uint8_t* head, std::uint64_t available,
                    std::uint64_t file_size, bitmap_layout& layout) noexcept;

// Zeroes the padding at the end of each of `rows` target rows of the
// layout's stride, starting at `pixels`.
void zero_row_padding(std::uint8_t* pixels, std::uint32_t rows,
                      const bitmap_layout& layout) noexcept;

// "BM", a 40-byte info header, one plane, 24 bits, no compression; sizes 0.
std::array<std::uint8_t, header_size> initial_bmp_header() noexcept;

// Patches bfSize, width, height (negative again for a top-down source) and
// the bit count's low byte into a header image; nothing else changes.
void patch_bmp_header(std::uint8_t* header,
                      const bitmap_layout& layout) noexcept;

}  // namespace edgemap
