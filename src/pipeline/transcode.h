// Every conversion this library makes, from any source it reads (a
// bitmap, a PNG, a JPEG, a TIFF, a WebP; a file, memory or a stream) to
// any target it writes (BMP at 1, 8 or 24 bits, or the legacy bitmap
// bytes; gray PNG or TIFF at 1 or 8 bits), through one pipeline: the source
// judged by its header, then the target opened, then the rows streamed a band
// at a time where the source allows. Where and when a target is opened,
// replaced or left alone is decided here and nowhere else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "core/status.h"
#include "edgemap.h"

namespace edgemap {

// What a source is, by its first bytes. `other` is none of the formats;
// the legacy conversion judges it by the bitmap rules, as it always did,
// and every other conversion refuses it as status::not_image.
enum class image_kind { bmp, png, jpeg, tiff, webp, other };
image_kind sniff_image(const std::uint8_t* head, std::size_t size) noexcept;
// Bytes sniff_image needs to tell every kind apart.
inline constexpr std::size_t sniff_bytes = 12;

// What the file at path (UTF-8) holds, by its first bytes; by its name's
// extension (.png, .jpg, .jpeg, .tif, .tiff, .webp, any case; else a
// bitmap) when it cannot be
// read (a FIFO is not read), as its conversion will then report.
image_kind sniff_file(const char* path) noexcept;

enum class target_format { automatic, bmp, png, tiff };

struct transcode_options {
  double threshold = EDGEMAP_DEFAULT_THRESHOLD;
  unsigned threads = 0;
  target_format format = target_format::automatic;
  unsigned bits = 0;  // 0: the format's default
  // 0: no limit. The default is not applied to the legacy conversion
  // (edgemap.h says why).
  std::uint64_t max_pixels = EDGEMAP_DEFAULT_MAX_PIXELS;
  // Turn the edge map by the source's EXIF orientation.
  bool orient = false;
};

// The format a target gets: an explicit one as it is; automatic by the
// target name's extension (.bmp, .png, .tif or .tiff, any case; name may
// be null), and failing that the source's own format where it is one this
// library writes (BMP, TIFF), else PNG.
target_format resolve_format(target_format format, const char* target_name,
                             image_kind source) noexcept;

// The format of a target whose name is still to be given by it (the
// batch's): as resolve_format for a target without a name, except that 24
// bits, which only BMP takes, asks for BMP.
target_format format_to_name(target_format format, unsigned bits,
                             image_kind source) noexcept;

// Whether a name's extension is one of the formats this library reads
// (.bmp, .png, .jpg, .jpeg, .tif, .tiff, .webp, any case).
bool is_image_name(const char* name) noexcept;
// The extension a target of that format is given (".bmp", ".png", ".tif"),
// and whether a name already has one that says that format (a TIFF's
// ".tiff" too).
const char* format_extension(target_format format) noexcept;
bool named_for(const char* name, target_format format) noexcept;

// Whether `bits` is a depth the format takes (0 always is).
bool valid_bits(target_format format, unsigned bits) noexcept;

// Whether a conversion may be the legacy bitmap-to-bitmap one: a source
// that is a bitmap or none of the formats, a BMP target (already resolved)
// at the default depth. A bitmap the legacy rules refuse for its depth is
// then converted as any other bitmap, except by the 1.1 functions
// (convert_file and the like), which keep the legacy rules.
inline bool is_legacy_conversion(image_kind source, target_format format,
                                 unsigned bits) noexcept {
  return (source == image_kind::bmp || source == image_kind::other) &&
         format == target_format::bmp && bits == 0;
}

// What a failed source does to the target.
enum class on_refused_source {
  keep_target,   // left as it was
  empty_target,  // emptied, as the legacy entry does on a fresh state;
                 // never when the target is the source itself, even one
                 // that could not be opened
};

// How a conversion went. The legacy job prints its lines from it.
struct conversion {
  status load = status::ok;       // reading the source
  status save = status::ok;       // opening and writing the target
  bool wrote_image = false;       // the target holds a header and edge map
  std::uint32_t pixel_bytes = 0;  // of a legacy edge map
  int error = 0;        // errno of the failure reported first, 0 when none was
                        // the system's
  bool legacy = false;  // it was the legacy bitmap-to-bitmap conversion
  // A target in memory: from std::malloc (free it with std::free), null
  // on failure.
  void* memory = nullptr;
  std::size_t memory_size = 0;

  status failure() const noexcept { return load != status::ok ? load : save; }
};

// Where the target goes: a path (UTF-8), replaced whole or, where its
// folder refuses a new file, written in place; a stream the caller keeps
// (standard output), written as it goes; or memory, handed over in
// conversion::memory.
struct destination {
  const char* path = nullptr;
  std::FILE* stream = nullptr;
  bool memory = false;

  // The name whose extension may tell the target's format.
  const char* name() const noexcept {
    return stream != nullptr || memory ? nullptr : path;
  }
};

// The file at source (UTF-8) to target. The target is opened only once
// the source's header has been accepted; a refused source leaves it as it
// was, or, where the conversion is the legacy one, as legacy_rule says
// (conversion::legacy tells which it was). A target that is the source
// itself (however named) and must be written in place is converted from a
// copy of the source in memory. Arguments are not judged here (valid_bits
// and the like are the caller's): a bad depth is status::argument.
conversion transcode_file(
    const char* source, const destination& target,
    const transcode_options& options,
    on_refused_source legacy_rule = on_refused_source::keep_target) noexcept;

// An image held in memory (size bytes, as if a file) to target.
conversion transcode_bytes(
    const std::uint8_t* image, std::size_t size, const destination& target,
    const transcode_options& options,
    on_refused_source legacy_rule = on_refused_source::keep_target) noexcept;

// An image read from a stream that may not seek (standard input), judged
// by its header before anything in proportion to it is read: a PNG or a
// JPEG is decoded as it arrives, a bitmap read as far as its header
// declares (it must be held whole: its rows may come bottom first). A
// stream that cannot be read is status::open_source, the target untouched.
conversion transcode_stream(
    std::FILE* stream, const destination& target,
    const transcode_options& options,
    on_refused_source legacy_rule = on_refused_source::keep_target) noexcept;

// The same with the target in memory: *out from std::malloc (free it with
// std::free), *out_size bytes; null and 0 on failure.
status transcode_to_memory(const std::uint8_t* image, std::size_t size,
                           void** out, std::size_t* out_size,
                           const transcode_options& options) noexcept;

// The legacy conversion of a bitmap (the 1.1 API's): its own header
// fields, no pixel limit.
conversion convert_file(const char* source, const destination& target,
                        double threshold, unsigned threads,
                        on_refused_source rule) noexcept;
conversion convert_bytes(const std::uint8_t* bitmap, std::size_t size,
                         const destination& target, double threshold,
                         unsigned threads, on_refused_source rule) noexcept;
status convert_to_memory(const std::uint8_t* bitmap, std::size_t size,
                         void** out, std::size_t* out_size, double threshold,
                         unsigned threads) noexcept;

}  // namespace edgemap
