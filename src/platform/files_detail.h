// The two halves of the files floor: what files.cpp, written once, asks of
// the operating system's half (files_posix.cpp or files_windows.cpp).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace edgemap::files_detail {

// What is at a target's name before it is written.
struct target_state {
  bool exists = false;
  bool regular = false;  // a file on disk; else a device, a FIFO, ...
  // The file's owner and permission bits, which a replacement keeps.
  std::uint64_t owner = 0;
  std::uint64_t group = 0;
  std::uint32_t mode = 0;
};

// The characters that end a path's folder part.
extern const char* const separators;

// The name a target is written at: the one a chain of symbolic links ends
// at, where the system has them.
std::string resolve_target(const char* path);

// Fills `state`. Returns 0, also for a name with no file, or errno when the
// name cannot be looked at (too long, a file where a folder should be).
int inspect_target(const std::string& target, target_state& state) noexcept;

// 0 when the existing file may be opened for writing, else errno.
int may_write(const std::string& target) noexcept;

// Creates `temp`, which must not exist, for writing. The descriptor (above
// 2), or minus errno.
int create_exclusive(const std::string& temp) noexcept;

// Gives a replacement the old file's owner, where this process may, and
// its permission bits.
void keep_attributes(int fd, const target_state& state) noexcept;

// A binary write stream on fd, or null (fd closed) when none can be had.
std::FILE* write_stream(int fd) noexcept;

// Renames `from` over `to`; false with errno set when it cannot.
bool rename_over(const char* from, const char* to) noexcept;

// Copies the file `from` over the bytes of the existing file `to`, in
// place; false with errno set when it cannot.
bool copy_in_place(const char* from, const char* to) noexcept;

void remove_file(const char* path) noexcept;

// Opens an existing file for writing in place, its bytes kept until they
// are written over; null with errno set when it cannot.
std::FILE* open_in_place(const std::string& path) noexcept;

// Cuts the file behind an open write stream (flushed) to `size` bytes;
// false with errno set when it cannot.
bool truncate_at(std::FILE* f, std::uint64_t size) noexcept;

}  // namespace edgemap::files_detail
