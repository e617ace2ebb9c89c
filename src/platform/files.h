// The files floor: everything the library does with files and that
// differs between operating systems, behind one interface. Opening a
// source, its size, telling whether two names are one file, and writing a
// target so that it is replaced whole or not at all. The portable half is
// files.cpp; files_posix.cpp and files_windows.cpp hold the rest, one of
// them chosen by CMake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

namespace edgemap {

struct file_closer {
  void operator()(std::FILE* f) const noexcept { (void)std::fclose(f); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

// Opens a UTF-8 path for binary reading ("rb") or writing ("wb", created
// or truncated). Returns null for no path (null) and when it cannot be
// opened (errno says why).
std::FILE* open_file(const char* path, const char* mode) noexcept;

// A descriptor this library opened, moved above 0, 1 and 2 when it took one
// of them: a program that closed its standard error would otherwise have
// the next line it prints written into the file. Closes fd when it moves
// it; negative when fd is, or when it cannot be moved (fd is closed then).
int above_standard_streams(int fd) noexcept;

// Opens a source for binary reading. Returns null for no path, a file that
// cannot be opened (errno says why), and a FIFO or socket (errno 0):
// reading one could wait forever for a writer, so it is refused at once,
// like a missing file.
std::FILE* open_source(const char* path) noexcept;

// Length of the file behind an open stream, or nothing when the stream is
// not seekable. Leaves the position at the start.
std::optional<std::uint64_t> stream_size(std::FILE* f) noexcept;

// Seeks to an absolute offset, beyond the range of long on 32-bit
// platforms.
bool seek_to(std::FILE* f, std::uint64_t offset) noexcept;

// Reads count bytes at offset without using or moving the stream's
// position, so that several threads may read one file at once. Returns the
// bytes read (fewer at the end of the file), or 0 on failure. Only where
// positional_reads says the platform has such a read.
std::size_t read_at(std::FILE* f, std::uint64_t offset, void* out,
                    std::size_t count) noexcept;
extern const bool positional_reads;

// Which file a name or stream stands for, however it is reached (another
// spelling, a hard or symbolic link). Two unknown identities never match.
struct file_identity {
  std::uint64_t device = 0;
  std::uint64_t file = 0;
  bool known = false;
  bool same_as(const file_identity& other) const noexcept {
    return known && other.known && device == other.device && file == other.file;
  }
};
file_identity identity_of(std::FILE* f) noexcept;
file_identity identity_of_path(const char* path) noexcept;

// A target being written. A regular file (or a name with no file yet) is
// written to a temporary file in the same folder and renamed over the
// target by commit(), so the target is replaced whole or not at all; a
// symbolic link is followed and stays, and a replaced file keeps its
// permission bits and, where this process may set it, its owner. Anything
// else (a device, a FIFO) is written in place, and so is a file the folder
// will not let be replaced (a read-only folder, or a sticky one where the
// file is another user's) while the file itself may be written: as tools
// that write in place always could. A file written in place keeps every
// byte until the first write reaches it, and is cut to what was written
// only by commit(), so that opening it, or giving up before writing,
// costs the user nothing. Replacing is never a way around permissions: a
// target that could not be opened for writing fails to open here too.
// Destroying an uncommitted target removes the temporary file.
class target_file {
 public:
  target_file() noexcept = default;
  target_file(const target_file&) = delete;
  target_file& operator=(const target_file&) = delete;
  ~target_file() { abandon(); }

  // False when the target cannot be written (error() says why).
  bool open(const char* path) noexcept;
  // Writes in place to a stream the caller keeps (standard output).
  void adopt(std::FILE* stream) noexcept;

  // Records a failure instead of returning one; commit() reports it.
  void write(const void* bytes, std::size_t count) noexcept;
  // Moves where the next write goes, in a file this object opened; false,
  // recording nothing, where it cannot (a pipe, standard output).
  bool seek(std::uint64_t offset) noexcept;
  bool failed() const noexcept { return failed_; }
  // Whether the bytes go straight into the target (no temporary file).
  bool in_place() const noexcept { return stream_ != nullptr && !temp_path_; }
  // The file being written to.
  file_identity identity() const noexcept;
  // errno of the last failure (0 when it was not the system's).
  int error() const noexcept { return error_; }

  // Flushes, closes and renames into place. False when anything failed,
  // and then the old target is untouched (in place, it holds what could be
  // written) and the temporary file is gone.
  bool commit() noexcept;
  // Gives up: closes and removes the temporary file.
  void abandon() noexcept;

 private:
  // stream_, just opened on the temporary file `temp`, is the target's
  // until commit() renames it over `target`. Throws std::bad_alloc.
  void writing_through(const std::string& temp, const std::string& target);
  // Opens the existing `path` for writing in place; a regular file is cut
  // to what was written at commit().
  bool writing_in_place(const std::string& path, bool regular) noexcept;
  bool refuse(int why) noexcept {
    error_ = why;
    return false;
  }

  std::FILE* stream_ = nullptr;
  bool owned_ = false;
  bool failed_ = false;
  bool cut_at_commit_ = false;
  int error_ = 0;
  std::uint64_t at_ = 0;   // where the next write goes
  std::uint64_t end_ = 0;  // the furthest byte written
  // Set when writing through a temporary file; UTF-8.
  std::unique_ptr<char[]> temp_path_;
  std::unique_ptr<char[]> final_path_;
};

// Removes every temporary file a target_file is writing now and refuses to
// create more: for a program about to end on a signal, so that a stopped
// run leaves no hidden partial files behind. Takes a lock: call it from a
// thread, not from a signal handler.
void remove_temporary_targets() noexcept;

#ifdef _WIN32
// A UTF-8 path as the UTF-16 name every file operation opens it by: in the
// \\?\ form when long (long_path_form, with the full path from
// GetFullPathNameW). Null for null or when storage runs out; the empty
// string for bytes that are not UTF-8.
std::unique_ptr<wchar_t[]> utf8_to_wide_path(const char* narrow) noexcept;
#endif

}  // namespace edgemap
