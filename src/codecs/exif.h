// The orientation tag of an EXIF block, as JPEG (APP1), PNG (eXIf), WebP
// (EXIF) and TIFF (its first directory) carry it: a TIFF header and its
// first directory, in either byte order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace edgemap {

// The orientation (1 to 8) of the EXIF block at `block`, size bytes, which
// may start with "Exif\0\0" (as JPEG's APP1 and some WebP writers have it);
// 1 for a block without the tag, with a value out of range, or damaged.
std::uint8_t exif_orientation(const std::uint8_t* block,
                              std::size_t size) noexcept;

}  // namespace edgemap
