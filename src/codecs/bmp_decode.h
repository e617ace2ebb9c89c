// The bitmaps the legacy rules leave out, read as Pillow 9.4 reads them:
// OS/2 and Windows headers of every size, palettes of 1 to 8 bits, 16-bit
// pixels, 32-bit pixels with bit-field masks, RLE8 and RLE4. Everything
// here works on bytes already read; the sources in bmp_source.cpp bring
// them from memory, a file or a pipe.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/status.h"

namespace edgemap {

// Fields past those the legacy rules read (bitmap_header.h).
constexpr std::uint32_t offset_bi_size = 14;
constexpr std::uint32_t offset_bi_compression = 30;

// The OS/2 1.x header: 16-bit sizes, no compression, 3-byte palette
// entries.
constexpr std::uint32_t os2_header_size = 12;
// Bytes a header can take with the masks after it: the file header, the
// largest info header, four masks.
constexpr std::size_t bmp_head_bytes = 14 + 124 + 16;

// How a row's pixels become three bytes (blue, green, red).
enum class bmp_pixels : std::uint8_t {
  palette,   // 1, 2, 4 or 8-bit indices, or RLE's decoded indices
  rgb555,    // 16 bits, 5 a channel
  rgb565,    // 16 bits, green of 6
  bgr24,     // as stored
  masked32,  // 32 bits, each channel 8 bits where its mask says
};

struct bmp_info {
  std::uint32_t info_size = 0;  // biSize
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  bool top_down = false;
  std::uint16_t bits = 0;
  std::uint32_t compression = 0;
  bool rle = false;
  bool rle4 = false;
  bmp_pixels pixels = bmp_pixels::palette;
  // The palette: entries in the file (bits of 8 or fewer), their size and
  // where they start.
  std::uint32_t colors = 0;
  std::uint32_t entry_size = 4;
  std::uint32_t palette_at = 0;
  std::uint64_t pixel_offset = 0;
  std::uint32_t size_image = 0;  // biSizeImage; 0 when not given
  // Where blue, green and red sit in a masked 32-bit pixel.
  std::uint8_t shift[3] = {0, 8, 16};
  std::uint64_t stride = 0;  // of the rows as stored, when not RLE

  std::uint64_t row_bytes() const noexcept {
    return (std::uint64_t{width} * bits + 7) / 8;
  }
  std::uint64_t palette_end() const noexcept {
    return std::uint64_t{palette_at} + std::uint64_t{colors} * entry_size;
  }
  // Bytes the file must hold from pixel_offset on when the rows are
  // stored as they are: the last row's padding may be missing.
  std::uint64_t needed() const noexcept {
    return width == 0 || height == 0 ? 0 : stride * (height - 1) + row_bytes();
  }
};

// The bytes of the header, masks included, that `head` must hold for
// parse_bmp_info to judge it, as far as its first `available` bytes tell:
// more may be asked once those are there.
std::size_t bmp_header_bytes(const std::uint8_t* head,
                             std::size_t available) noexcept;

// Judges a bitmap by its first `available` bytes (bmp_header_bytes of
// them are enough) and describes it in `out`: status::header when they
// end within the header or its masks, unsupported for a header size, bit
// count, compression or mask layout not read here, a palette of more than
// 256 entries, or a top-down RLE bitmap. Sizes are not checked against
// the file.
status parse_bmp_info(const std::uint8_t* head, std::size_t available,
                      bmp_info& out) noexcept;

// Whether a Windows header of that size and compression is followed or
// ended by colour masks, at offset 54 of the file.
bool has_colour_masks(std::uint32_t info_size,
                      std::uint32_t compression) noexcept;

// The channels of a 32-bit bitmap from its red, green and blue masks
// (`masks`, 12 bytes): where blue, green and red sit, each 8 bits in a
// row; all three zero is the default order (0, 8, 16). unsupported for
// any other mask.
status shifts_of_masks(const std::uint8_t* masks,
                       std::uint8_t (&shift)[3]) noexcept;

// The 256 entries rows are looked up in, three bytes each (blue, green,
// red): the file's palette (`palette` holds info.colors entries) and, past
// it, gray levels equal to the index, as Pillow gives them.
void load_palette(const bmp_info& info, const std::uint8_t* palette,
                  std::uint8_t (&table)[256][3]) noexcept;

// One row of info.width pixels as stored (`in`; decoded RLE indices, one
// a byte, for RLE) into three bytes a pixel at `out`. in and out must not
// overlap.
void convert_row(const bmp_info& info, const std::uint8_t (&table)[256][3],
                 const std::uint8_t* in, std::uint8_t* out) noexcept;

// Where RLE codes come from. read() gives up to n bytes (fewer at the end)
// and moves on by n whatever it gave.
class rle_input {
 public:
  virtual ~rle_input() = default;
  virtual std::size_t read(std::uint8_t* to, std::size_t n) noexcept = 0;
};

// Decodes the RLE codes `in` gives from info.pixel_offset on into `index`
// (width * height bytes, zero, rows in file order), or with index null
// only follows them. status::corrupt when they end before the last row,
// write past it, or go on after it with anything but ends of lines and
// the end of the bitmap (up to biSizeImage, when given), or take more
// bytes than any image of that size needs.
status decode_rle(rle_input& in, const bmp_info& info,
                  std::uint8_t* index) noexcept;

}  // namespace edgemap
