// Little-endian field access and the 54-byte header image the target gets.
#pragma once

#include <array>
#include <cstdint>

#include "bitmap/image_state.h"

namespace edgemap {

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

// "BM", a 40-byte info header, one plane, 24 bits, no compression; sizes 0.
std::array<std::uint8_t, header_size> initial_bmp_header() noexcept;

// Patches size, width, height field and bit count of state.bmp_header for
// the image state describes.
void patch_bmp_header(image_state& state, std::uint32_t file_size) noexcept;

}  // namespace edgemap
