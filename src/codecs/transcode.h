// Any source the library reads (a bitmap, a PNG, a JPEG) to an edge map in
// any target format it writes (BMP at 1, 8 or 24 bits, or the legacy
// bitmap bytes; gray PNG at 1 or 8 bits), streamed a band of rows at a
// time where the source allows. What the _ex API functions and the
// command line run; the bitmap-to-bitmap case at the default depth is the
// legacy conversion (convert.h), byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "bitmap/convert.h"
#include "bitmap/status.h"

namespace edgemap {

// What a source is, by its first bytes. Anything that is neither a PNG nor
// a JPEG is a bitmap, judged by the bitmap rules as it always was.
enum class image_kind { bmp, png, jpeg };
image_kind sniff_image(const std::uint8_t* head, std::size_t size) noexcept;
// Bytes sniff_image needs to tell every kind apart.
inline constexpr std::size_t sniff_bytes = 8;

enum class target_format { automatic, bmp, png };

inline constexpr std::uint64_t default_max_pixels = std::uint64_t{1} << 28;

struct transcode_options {
  double threshold = 90.0;
  unsigned threads = 0;
  target_format format = target_format::automatic;
  unsigned bits = 0;                              // 0: the format's default
  std::uint64_t max_pixels = default_max_pixels;  // 0: no limit
};

// The format a target gets: an explicit one as it is; automatic by the
// target name's extension (.bmp or .png, any case; name may be null), and
// failing that BMP for a bitmap source and PNG for the others.
target_format resolve_format(target_format format, const char* target_name,
                             image_kind source) noexcept;

// Whether `bits` is a depth the format takes (0 always is).
bool valid_bits(target_format format, unsigned bits) noexcept;

// Whether a conversion is the legacy bitmap-to-bitmap one: a bitmap source,
// a BMP target (already resolved) at the default depth.
inline bool is_legacy_conversion(image_kind source, target_format format,
                                 unsigned bits) noexcept {
  return source == image_kind::bmp && format == target_format::bmp && bits == 0;
}

// How a transcode went: the first failure (load or save) and its errno
// (0 when it was not the system's).
struct transcoded {
  status result = status::ok;
  int error = 0;
};

// The file at source (UTF-8) to target. On any failure the target is left
// as it was. Arguments are not judged here (valid_bits and the like are the
// caller's): a bad depth is status::argument.
transcoded transcode_file(const char* source, const destination& target,
                          const transcode_options& options) noexcept;

// An image held in memory (size bytes, as if a file) to target.
transcoded transcode_bytes(const std::uint8_t* image, std::size_t size,
                           const destination& target,
                           const transcode_options& options) noexcept;

// The same with the target in memory: *out from std::malloc (free it with
// std::free), *out_size bytes; null and 0 on failure.
status transcode_to_memory(const std::uint8_t* image, std::size_t size,
                           void** out, std::size_t* out_size,
                           const transcode_options& options) noexcept;

}  // namespace edgemap
