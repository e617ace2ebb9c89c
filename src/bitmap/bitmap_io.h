// Bitmap files: reading a source's header and pixels, and writing the
// edge map of a source as a target, band by band.
#pragma once

#include <cstdint>
#include <cstdio>

#include "bitmap/bitmap_header.h"
#include "bitmap/image_state.h"
#include "core/pixel_buffer.h"
#include "platform/files.h"

namespace edgemap {

// Reads the first fields_end bytes of the source behind f into fields
// (got of them: fewer in a shorter file) and the file's length;
// status::header where the stream cannot be measured. Leaves the position
// unspecified.
status read_fields(std::FILE* f, std::uint8_t (&fields)[fields_end],
                   std::size_t& got, std::uint64_t& file_size) noexcept;

// Reads the header fields of the source behind f and judges them
// (parse_bitmap). Leaves the position unspecified.
status read_layout(std::FILE* f, bitmap_layout& layout) noexcept;

// Opens fname_s (UTF-8, or null for no path) and loads its pixel array into
// state.images_s. A failed open keeps the previous image; any later
// failure leaves no image at all. On success fp_s stays open until
// save_image_t. Prints nothing.
status load_image_s(image_state& state, const char* fname_s) noexcept;

// Records the threshold for the edge map that save_image_t computes, band
// by band, from state.images_s. Does nothing without an image. Always
// returns 0.
std::int32_t detect_edges(image_state& state, double threshold) noexcept;

// Writes the target of the image state holds: its 54-byte header and the
// edge map at the threshold detect_edges recorded (all zero without it),
// computed into state.image_t a band of rows at a time, with zero row
// padding. Without an image the target is created empty. Closes fp_s.
// Refuses (status::open_target, nothing written) to replace the file the
// last load failed to read. Prints nothing.
status save_image_t(image_state& state, const char* fname_t,
                    unsigned threads = 0) noexcept;

// Bytes of target rows computed and written at a time.
constexpr std::uint32_t band_bytes = std::uint32_t{2} << 20;

// Rows per band for an image of `height` rows of `stride` bytes: at least
// one, at most the image.
std::uint32_t band_rows(std::uint32_t stride, std::uint32_t height) noexcept;

// Writes header (header_size bytes) and the edge map of the pixel array
// the layout describes, held whole at pixels, to target, computing it a
// band at a time into band (reserved here) with zero row padding. With
// edges false the pixel array is all zero. status::no_memory when the
// buffers cannot be had; write failures are left in target for its
// commit().
status write_edge_map(target_file& target, const std::uint8_t* header,
                      const bitmap_layout& layout, const std::uint8_t* pixels,
                      bool edges, double threshold, unsigned threads,
                      pixel_buffer& band) noexcept;

}  // namespace edgemap
