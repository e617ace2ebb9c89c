// The few file operations that differ between platforms.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>

namespace edgemap {

// Opens a UTF-8 path with an fopen mode. Returns null for no path (null).
std::FILE* open_file(const char* path, const char* mode) noexcept;

// Length of the file behind an open stream, or nothing when the stream is
// not seekable. Leaves the position at the start.
std::optional<std::uint64_t> stream_size(std::FILE* f) noexcept;

// Seeks to an absolute 32-bit offset, beyond the range of long on 32-bit
// platforms.
bool seek_to(std::FILE* f, std::uint32_t offset) noexcept;

// Prints one line (or any text) to standard output and flushes it, so a
// host sees the library's lines in order with its own output.
void say(const char* text) noexcept;

}  // namespace edgemap
