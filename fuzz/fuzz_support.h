// Shared by the fuzz harnesses: a private scratch directory, whole-file
// reads and writes, and the checks every target file must pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace edgemap::fuzz {

using bytes = std::vector<std::uint8_t>;

// A directory of this process's own, made on first use and removed at exit.
const std::string& scratch_dir();
std::string scratch_path(const char* name);

void write_file(const std::string& path, const std::uint8_t* data,
                std::size_t size);
bytes read_file(const std::string& path);

// Aborts unless target is a file this library may write: empty (no image),
// or a 54-byte header whose bfSize and dimensions agree with the file's
// length, followed by rows of pixels whose first three bytes are all 0 or
// all 255 and whose row padding is zero.
void check_target(const bytes& target);

// The little-endian 32-bit value at offset at; 0 past the end.
std::uint32_t u32_at(const std::uint8_t* data, std::size_t size,
                     std::size_t at);

// Prints why to standard error and aborts, so the fuzzer keeps the input.
[[noreturn]] void fail(const char* why);

}  // namespace edgemap::fuzz
