// A whole conversion, source to target, without the legacy entry's module
// state: what the C API and the command line run. Any number of threads
// may convert at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "bitmap/status.h"

namespace edgemap {

// What a failed source does to the target.
enum class on_refused_source {
  keep_target,   // left as it was (the API)
  empty_target,  // emptied, as the legacy entry does on a fresh state;
                 // never when the target is the source itself, even one
                 // that could not be opened
};

struct conversion {
  status load = status::ok;       // reading the source
  status save = status::ok;       // opening and writing the target
  bool wrote_image = false;       // the target holds a header and edge map
  std::uint32_t pixel_bytes = 0;  // of that edge map
  int error = 0;  // errno of the failure reported first, 0 when none was
                  // the system's
};

// Where the target goes: a path (UTF-8), or a stream the caller keeps
// (standard output), written in place.
struct destination {
  const char* path = nullptr;
  std::FILE* stream = nullptr;
};

// Converts the bitmap file at source (UTF-8, or null for no path), reading
// it a band of rows at a time.
conversion convert_file(const char* source, const destination& target,
                        double threshold, unsigned threads,
                        on_refused_source rule) noexcept;

// Converts a bitmap held in memory (size bytes, as if a file).
conversion convert_bytes(const std::uint8_t* bitmap, std::size_t size,
                         const destination& target, double threshold,
                         unsigned threads, on_refused_source rule) noexcept;

// Reads a bitmap from a stream that cannot seek (a pipe) for convert_bytes:
// its header fields, then the bytes they declare, up to the end of the
// pixel array, and no more, so that an endless stream (/dev/zero) is judged
// by its first bytes. out may hold the stream's first bytes already (read
// to tell its kind); they are kept and not read again. False when the
// stream fails. Throws std::bad_alloc.
bool read_declared_bitmap(std::FILE* in, std::vector<std::uint8_t>& out);

// Appends what the stream holds to out, a MiB at a time, until out holds
// `total` bytes or the stream ends (UINT64_MAX: to its end). False when the
// stream fails. Throws std::bad_alloc.
bool read_up_to(std::FILE* in, std::vector<std::uint8_t>& out,
                std::uint64_t total);

// The whole target of a bitmap held in memory, in memory: *out gets a
// buffer from std::malloc (free it with std::free) of *out_size bytes.
// On failure *out is null and *out_size 0.
status convert_to_memory(const std::uint8_t* bitmap, std::size_t size,
                         void** out, std::size_t* out_size, double threshold,
                         unsigned threads) noexcept;

}  // namespace edgemap
