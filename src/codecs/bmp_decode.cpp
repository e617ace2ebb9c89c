#include "codecs/bmp_decode.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include "bitmap/bitmap_header.h"

namespace edgemap {
namespace {

constexpr std::uint32_t file_header_size = 14;
constexpr std::uint32_t offset_os2_width = 18;
constexpr std::uint32_t offset_os2_height = 20;
constexpr std::uint32_t offset_os2_bit_count = 24;
constexpr std::uint32_t offset_size_image = 34;
constexpr std::uint32_t offset_clr_used = 46;
// Masks follow a 40-byte header and sit at the same place inside the
// larger ones.
constexpr std::uint32_t masks_at = 54;
constexpr std::uint32_t info_header_size = 40;
// OS/2 2.x: compression 3 and 4 mean Huffman and RLE24 there.
constexpr std::uint32_t os2_v2_header_size = 64;

constexpr std::uint32_t bi_rgb = 0;
constexpr std::uint32_t bi_rle8 = 1;
constexpr std::uint32_t bi_rle4 = 2;
constexpr std::uint32_t bi_bitfields = 3;
constexpr std::uint32_t bi_alphabitfields = 6;

constexpr std::uint32_t most_colors = 256;

bool known_header_size(std::uint32_t size) noexcept {
  switch (size) {
    case os2_header_size:
    case info_header_size:
    case 52:  // with the colour masks
    case 56:  // and the alpha mask
    case os2_v2_header_size:
    case 108:
    case 124:
      return true;
    default:
      return false;
  }
}

bool masked(std::uint32_t compression) noexcept {
  return compression == bi_bitfields || compression == bi_alphabitfields;
}

// Bytes the masks take after a 40-byte header; none elsewhere.
std::uint32_t trailing_mask_bytes(std::uint32_t info_size,
                                  std::uint32_t compression) noexcept {
  if (info_size != info_header_size || !masked(compression)) return 0;
  return compression == bi_alphabitfields ? 16 : 12;
}

// Where an 8-bit mask sits, or -1 when the mask is not 8 bits in a row.
int shift_of_byte_mask(std::uint32_t mask) noexcept {
  if (mask == 0) return -1;
  const int shift = std::countr_zero(mask);
  return mask >> shift == 0xffu ? shift : -1;
}

// The pixels a mask layout gives, Pillow's two 16-bit layouts and any
// 32-bit one of 8 bits a channel.
status judge_masks(const std::uint8_t* head, bmp_info& info) noexcept {
  const std::uint32_t red = read_u32_le(head + masks_at);
  const std::uint32_t green = read_u32_le(head + masks_at + 4);
  const std::uint32_t blue = read_u32_le(head + masks_at + 8);
  switch (info.bits) {
    case 16:
      if (red == 0xf800 && green == 0x7e0 && blue == 0x1f) {
        info.pixels = bmp_pixels::rgb565;
        return status::ok;
      }
      return red == 0x7c00 && green == 0x3e0 && blue == 0x1f
                 ? status::ok
                 : status::unsupported;
    case 24:
      return red == 0xff0000 && green == 0xff00 && blue == 0xff
                 ? status::ok
                 : status::unsupported;
    case 32:
      return shifts_of_masks(head + masks_at, info.shift);
    default:
      return status::unsupported;
  }
}

status judge_pixels(const std::uint8_t* head, std::size_t available,
                    bmp_info& info) noexcept {
  switch (info.compression) {
    case bi_rgb:
      break;
    case bi_rle8:
    case bi_rle4:
      info.rle = true;
      info.rle4 = info.compression == bi_rle4;
      if (info.bits != (info.rle4 ? 4 : 8)) return status::unsupported;
      // The codes fill rows from the bottom; there is no other order.
      if (info.top_down) return status::unsupported;
      break;
    case bi_bitfields:
    case bi_alphabitfields:
      if (info.info_size == os2_v2_header_size) return status::unsupported;
      break;
    default:
      return status::unsupported;
  }
  switch (info.bits) {
    case 1:
    case 2:
    case 4:
    case 8:
      info.pixels = bmp_pixels::palette;
      if (masked(info.compression)) return status::unsupported;
      return status::ok;
    case 16:
      info.pixels = bmp_pixels::rgb555;
      break;
    case 24:
      info.pixels = bmp_pixels::bgr24;
      break;
    case 32:
      info.pixels = bmp_pixels::masked32;
      break;
    default:
      return status::unsupported;
  }
  if (!masked(info.compression)) return status::ok;
  const std::uint32_t mask_end =
      masks_at + trailing_mask_bytes(info.info_size, info.compression);
  if (available < mask_end) return status::header;
  return judge_masks(head, info);
}

}  // namespace

bool has_colour_masks(std::uint32_t info_size,
                      std::uint32_t compression) noexcept {
  return info_size != os2_header_size && info_size != os2_v2_header_size &&
         known_header_size(info_size) && masked(compression);
}

status shifts_of_masks(const std::uint8_t* masks,
                       std::uint8_t (&shift)[3]) noexcept {
  const std::uint32_t red = read_u32_le(masks);
  const std::uint32_t green = read_u32_le(masks + 4);
  const std::uint32_t blue = read_u32_le(masks + 8);
  if (red == 0 && green == 0 && blue == 0) {
    shift[0] = 0;
    shift[1] = 8;
    shift[2] = 16;
    return status::ok;
  }
  const int shifts[3] = {shift_of_byte_mask(blue), shift_of_byte_mask(green),
                         shift_of_byte_mask(red)};
  for (int k = 0; k < 3; ++k) {
    if (shifts[k] < 0) return status::unsupported;
    shift[k] = static_cast<std::uint8_t>(shifts[k]);
  }
  return status::ok;
}

std::size_t bmp_header_bytes(const std::uint8_t* head,
                             std::size_t available) noexcept {
  if (available < fields_end) return fields_end;
  const std::uint32_t size = read_u32_le(head + offset_bi_size);
  if (!known_header_size(size)) return fields_end;
  const std::size_t header_end = file_header_size + size;
  if (available < header_end || size == os2_header_size) return header_end;
  return header_end +
         trailing_mask_bytes(size, read_u32_le(head + offset_bi_compression));
}

status parse_bmp_info(const std::uint8_t* head, std::size_t available,
                      bmp_info& out) noexcept {
  if (available < fields_end) return status::header;
  bmp_info info;
  info.info_size = read_u32_le(head + offset_bi_size);
  if (!known_header_size(info.info_size)) return status::unsupported;
  const std::uint32_t header_end = file_header_size + info.info_size;
  if (available < header_end) return status::header;
  std::uint32_t colors = 0;
  if (info.info_size == os2_header_size) {
    info.width = read_u16_le(head + offset_os2_width);
    info.height = read_u16_le(head + offset_os2_height);
    info.bits = read_u16_le(head + offset_os2_bit_count);
    info.entry_size = 3;
  } else {
    info.width = read_u32_le(head + offset_bi_width);
    // A negative width has no meaning.
    if (info.width > INT32_MAX) return status::unsupported;
    const std::uint32_t height = read_u32_le(head + offset_bi_height);
    info.top_down = (height & 0x80000000u) != 0;
    info.height = info.top_down ? 0u - height : height;
    info.bits = read_u16_le(head + offset_bi_bit_count);
    info.compression = read_u32_le(head + offset_bi_compression);
    info.size_image = read_u32_le(head + offset_size_image);
    colors = read_u32_le(head + offset_clr_used);
  }
  const status pixels = judge_pixels(head, available, info);
  if (pixels != status::ok) return pixels;

  info.palette_at = header_end;
  if (info.bits <= 8) {
    info.colors = colors != 0 ? colors : 1u << info.bits;
    if (info.colors > most_colors) return status::unsupported;
  }
  // Pillow's reading of bfOffBits: one that points at the palette's start
  // is taken to mean right after a palette of 4-byte entries, and 0 right
  // after what was read before the pixels.
  info.pixel_offset = read_u32_le(head + offset_bf_off_bits);
  if (info.bits <= 8 && info.pixel_offset == header_end) {
    info.pixel_offset += std::uint64_t{4} * info.colors;
  }
  if (info.pixel_offset == 0) {
    info.pixel_offset = info.palette_end() +
                        trailing_mask_bytes(info.info_size, info.compression);
  }
  info.stride =
      ((std::uint64_t{info.width} * info.bits + 31) >> 3) & ~std::uint64_t{3};
  out = info;
  return status::ok;
}

void load_palette(const bmp_info& info, const std::uint8_t* palette,
                  std::uint8_t (&table)[256][3]) noexcept {
  for (std::uint32_t i = 0; i < 256; ++i) {
    const auto gray = static_cast<std::uint8_t>(i);
    table[i][0] = table[i][1] = table[i][2] = gray;
  }
  for (std::uint32_t i = 0; i < info.colors && i < 256; ++i) {
    std::memcpy(table[i], palette + std::size_t{i} * info.entry_size, 3);
  }
}

void convert_row(const bmp_info& info, const std::uint8_t (&table)[256][3],
                 const std::uint8_t* in, std::uint8_t* out) noexcept {
  const std::uint32_t width = info.width;
  switch (info.pixels) {
    case bmp_pixels::palette: {
      if (info.rle || info.bits == 8) {
        for (std::uint32_t c = 0; c < width; ++c) {
          std::memcpy(out + 3 * std::size_t{c}, table[in[c]], 3);
        }
        return;
      }
      const unsigned bits = info.bits;
      const unsigned per_byte = 8 / bits;
      const unsigned mask = (1u << bits) - 1;
      for (std::uint32_t c = 0; c < width; ++c) {
        // The leftmost pixel in the high bits.
        const unsigned shift = 8 - bits * (c % per_byte + 1);
        const unsigned index = (in[c / per_byte] >> shift) & mask;
        std::memcpy(out + 3 * std::size_t{c}, table[index], 3);
      }
      return;
    }
    case bmp_pixels::rgb555:
    case bmp_pixels::rgb565: {
      // Each channel scaled to 0-255 and truncated, as Pillow does.
      const bool green6 = info.pixels == bmp_pixels::rgb565;
      const unsigned green_max = green6 ? 63 : 31;
      const unsigned red_shift = green6 ? 11 : 10;
      for (std::uint32_t c = 0; c < width; ++c) {
        const unsigned p = read_u16_le(in + 2 * std::size_t{c});
        std::uint8_t* const o = out + 3 * std::size_t{c};
        o[0] = static_cast<std::uint8_t>((p & 31) * 255 / 31);
        o[1] =
            static_cast<std::uint8_t>(((p >> 5) & green_max) * 255 / green_max);
        o[2] = static_cast<std::uint8_t>(((p >> red_shift) & 31) * 255 / 31);
      }
      return;
    }
    case bmp_pixels::bgr24:
      std::memcpy(out, in, 3 * std::size_t{width});
      return;
    case bmp_pixels::masked32:
      for (std::uint32_t c = 0; c < width; ++c) {
        const std::uint32_t p = read_u32_le(in + 4 * std::size_t{c});
        std::uint8_t* const o = out + 3 * std::size_t{c};
        for (int k = 0; k < 3; ++k) {
          o[k] = static_cast<std::uint8_t>(p >> info.shift[k]);
        }
      }
      return;
  }
}

namespace {

// The RLE codes on a linear run of indices in file order, as Pillow
// decodes them: a run that would cross the end of its row is cut there,
// and an end of line pads the row with index 0, as does a delta over the
// pixels it skips. Two things Pillow 9.4 gets wrong are read as the format
// has them (later Pillows agree): a delta's offsets are its own two bytes,
// and an RLE4 absolute run of n pixels takes (n + 1) / 2 bytes, padded to
// an even count. Past that, what Pillow leaves unchecked is refused:
// pixels past the last row, and codes that go on once it is full.
class rle_decoder {
 public:
  rle_decoder(rle_input& in, const bmp_info& info, std::uint8_t* index) noexcept
      : in_(in),
        info_(info),
        index_(index),
        width_(info.width),
        total_(std::uint64_t{info.width} * info.height),
        start_(info.pixel_offset),
        at_(info.pixel_offset),
        end_(info.size_image != 0 ? info.pixel_offset + info.size_image
                                  : UINT64_MAX) {
    // The most bytes any encoding of the image takes: four a pixel (a
    // delta for each) and an end of line a row. An endless stream is
    // refused once it passes them.
    const std::uint64_t most = (UINT64_MAX - 64) / 4 - info.height;
    bound_ = total_ > most ? UINT64_MAX : 4 * (total_ + info.height) + 64;
  }

  status run() noexcept {
    while (pos_ < total_) {
      std::uint8_t code[2];
      if (at_ - start_ >= bound_) return status::corrupt;
      if (!take(code, 2)) break;
      if (code[0] != 0) {
        encoded(code[0], code[1]);
        continue;
      }
      if (code[1] == 0) {
        // End of line: the row ends in index 0.
        pos_ += (width_ - pos_ % width_) % width_;
        x_ = 0;
      } else if (code[1] == 1) {
        break;
      } else if (code[1] == 2) {
        std::uint8_t delta[2];
        if (!take(delta, 2)) return status::corrupt;
        const std::uint64_t skip = delta[0] + std::uint64_t{delta[1]} * width_;
        if (skip > total_ - pos_) return status::corrupt;
        pos_ += skip;
        x_ = pos_ % width_;
      } else {
        bool whole = true;
        if (!absolute(code[1], whole)) return status::corrupt;
        if (!whole) break;
      }
    }
    // Rows left undecoded: Pillow has no pixels for them.
    if (pos_ < total_) return status::corrupt;
    return after_the_last_row();
  }

 private:
  // Bytes from the input, true when all n came.
  bool take(std::uint8_t* to, std::size_t n) noexcept {
    const std::size_t got = in_.read(to, n);
    at_ += n;
    return got == n;
  }

  void encoded(std::uint32_t count, std::uint8_t value) noexcept {
    const std::uint64_t room = x_ < width_ ? width_ - x_ : 0;
    const std::uint64_t n = count < room ? count : room;
    if (index_ != nullptr) {
      std::uint8_t* const to = index_ + pos_;
      if (!info_.rle4) {
        // n is at most count, a 32-bit value, so it fits any size_t.
        std::memset(to, value, static_cast<std::size_t>(n));
      } else {
        for (std::uint64_t i = 0; i < n; ++i) {
          to[i] = (i & 1) == 0 ? value >> 4 : value & 15;
        }
      }
    }
    pos_ += n;
    x_ += n;
  }

  // False when the run goes past the last row; whole false when the
  // input ended within it.
  bool absolute(std::uint32_t count, bool& whole) noexcept {
    std::uint8_t bytes[255];
    const std::size_t want = info_.rle4 ? (count + 1) / 2 : count;
    const std::size_t got = in_.read(bytes, want);
    std::uint64_t pixels = info_.rle4 ? 2 * std::uint64_t{got} : got;
    if (pixels > count) pixels = count;
    if (pixels > total_ - pos_) return false;
    if (index_ != nullptr) {
      std::uint8_t* const to = index_ + pos_;
      if (!info_.rle4) {
        std::memcpy(to, bytes, got);
      } else {
        for (std::uint64_t i = 0; i < pixels; ++i) {
          to[i] = (i & 1) == 0 ? bytes[i / 2] >> 4 : bytes[i / 2] & 15;
        }
      }
    }
    pos_ += pixels;
    at_ += want;
    whole = got == want;
    if (!whole) return true;
    x_ += count;
    if ((at_ - start_) % 2 != 0) {
      std::uint8_t pad;
      (void)take(&pad, 1);  // the end of the input is found by what follows
    }
    return true;
  }

  // Once every row is full only ends of lines may follow, up to the end
  // of the bitmap, the end of biSizeImage or the end of the input.
  status after_the_last_row() noexcept {
    for (;;) {
      if (at_ >= end_) return status::ok;
      if (at_ - start_ >= bound_) return status::corrupt;
      std::uint8_t code[2];
      if (!take(code, 2)) return status::ok;
      if (code[0] != 0 || code[1] > 1) return status::corrupt;
      if (code[1] == 1) return status::ok;
    }
  }

  rle_input& in_;
  const bmp_info& info_;
  std::uint8_t* index_;
  std::uint64_t width_;
  std::uint64_t total_;
  std::uint64_t start_;
  std::uint64_t at_;  // the file offset of the next byte
  std::uint64_t end_;
  std::uint64_t bound_ = UINT64_MAX;  // bytes from start_
  std::uint64_t pos_ = 0;             // indices decoded
  std::uint64_t x_ = 0;               // the column as Pillow counts it
};

}  // namespace

status decode_rle(rle_input& in, const bmp_info& info,
                  std::uint8_t* index) noexcept {
  rle_decoder decoder(in, info, index);
  return decoder.run();
}

}  // namespace edgemap
