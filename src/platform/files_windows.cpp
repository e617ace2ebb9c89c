// The files floor on Windows. Paths are UTF-8 everywhere else; Windows
// opens them by their UTF-16 names, so that every name works, not only
// those of the ANSI code page, and long ones in the \\?\ form
// (utf8_to_wide_path), as every call below does.
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <new>
#include <string>

#include "platform/files.h"
#include "platform/files_detail.h"
#include "platform/paths.h"

namespace edgemap {

int above_standard_streams(int fd) noexcept {
  // _dup takes the lowest free descriptor, which may be another of 0-2:
  // hold each low one until a copy lands above them.
  int low[3];
  int n = 0;
  while (fd >= 0 && fd <= 2 && n < 3) {
    low[n++] = fd;
    fd = _dup(fd);
  }
  const int why = errno;
  for (int i = 0; i < n; ++i) (void)_close(low[i]);
  errno = why;
  return fd;
}

std::FILE* open_file(const char* path, const char* mode) noexcept {
  const auto wide_path = utf8_to_wide_path(path);
  if (!wide_path) {
    return nullptr;
  }
  const bool write = mode[0] == 'w';
  const int flags =
      (write ? _O_WRONLY | _O_CREAT | _O_TRUNC : _O_RDONLY) | _O_BINARY;
  const int fd = above_standard_streams(
      _wopen(wide_path.get(), flags | _O_NOINHERIT, _S_IREAD | _S_IWRITE));
  if (fd < 0) {
    return nullptr;
  }
  std::FILE* f = _fdopen(fd, write ? "wb" : "rb");
  if (f == nullptr) {
    (void)_close(fd);
  }
  return f;
}

// Windows has no FIFOs in its file system; a named pipe needs its own
// \\.\pipe\ name, which is refused as any name that is not a file is.
std::FILE* open_source(const char* path) noexcept {
  std::FILE* f = open_file(path, "rb");
  if (f != nullptr) {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
    if (GetFileType(handle) == FILE_TYPE_PIPE) {
      (void)std::fclose(f);
      errno = 0;
      return nullptr;
    }
  }
  return f;
}

std::optional<std::uint64_t> stream_size(std::FILE* f) noexcept {
  if (_fseeki64(f, 0, SEEK_END) != 0) {
    return std::nullopt;
  }
  const __int64 end = _ftelli64(f);
  if (end < 0 || _fseeki64(f, 0, SEEK_SET) != 0) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(end);
}

bool seek_to(std::FILE* f, std::uint64_t offset) noexcept {
  return _fseeki64(f, static_cast<__int64>(offset), SEEK_SET) == 0;
}

// ReadFile at an offset would move the handle's position under stdio.
const bool positional_reads = false;

std::size_t read_at(std::FILE*, std::uint64_t, void*, std::size_t) noexcept {
  return 0;
}

namespace {

file_identity identity_of_handle(HANDLE h) noexcept {
  BY_HANDLE_FILE_INFORMATION info;
  file_identity id;
  if (h != INVALID_HANDLE_VALUE && GetFileInformationByHandle(h, &info)) {
    id.device = info.dwVolumeSerialNumber;
    id.file = std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
    id.known = true;
  }
  return id;
}

}  // namespace

file_identity identity_of(std::FILE* f) noexcept {
  return identity_of_handle(
      reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f))));
}

file_identity identity_of_path(const char* path) noexcept {
  const auto wide = utf8_to_wide_path(path);
  if (!wide) return {};
  const HANDLE h = CreateFileW(
      wide.get(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  const file_identity id = identity_of_handle(h);
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  return id;
}

std::unique_ptr<wchar_t[]> utf8_to_wide_path(const char* narrow) noexcept {
  auto wide = utf8_to_wide(narrow);
  if (!wide || wide[0] == 0) {
    return wide;
  }
  try {
    // GetFullPathNameW is pure string work on the current folder: no file
    // is touched, and it takes names of any length.
    const DWORD need = GetFullPathNameW(wide.get(), 0, nullptr, nullptr);
    if (need == 0) {
      return wide;  // left for opening to fail as it would have
    }
    std::wstring full(need, L'\0');
    const DWORD got = GetFullPathNameW(wide.get(), need, full.data(), nullptr);
    if (got == 0 || got >= need) {
      return wide;
    }
    full.resize(got);
    const std::wstring chosen = long_path_form(wide.get(), full);
    std::unique_ptr<wchar_t[]> out(new wchar_t[chosen.size() + 1]);
    chosen.copy(out.get(), chosen.size());
    out[chosen.size()] = 0;
    return out;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

namespace files_detail {
namespace {

HANDLE open_existing(const std::string& path, DWORD access) noexcept {
  const auto wide = utf8_to_wide_path(path.c_str());
  if (!wide || wide[0] == 0) {
    return INVALID_HANDLE_VALUE;
  }
  return CreateFileW(wide.get(), access,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

const char* const separators = "/\\";

std::string resolve_target(const char* path) { return path; }

// A file on disk is replaced; anything else (a device such as NUL, a pipe)
// is written in place.
int inspect_target(const std::string& target, target_state& state) noexcept {
  const HANDLE h = open_existing(target, 0);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND  ? 0
           : error == ERROR_ACCESS_DENIED ? EACCES
                                          : EINVAL;
  }
  state.exists = true;
  state.regular = GetFileType(h) == FILE_TYPE_DISK;
  CloseHandle(h);
  return 0;
}

// Opening for writing proves the caller may write it, read-only files
// included.
int may_write(const std::string& target) noexcept {
  const HANDLE h = open_existing(target, GENERIC_WRITE);
  if (h == INVALID_HANDLE_VALUE) {
    return EACCES;
  }
  CloseHandle(h);
  return 0;
}

int create_exclusive(const std::string& temp) noexcept {
  const auto wide = utf8_to_wide_path(temp.c_str());
  if (!wide) {
    return -ENOMEM;
  }
  const int fd = above_standard_streams(_wopen(
      wide.get(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY | _O_NOINHERIT,
      _S_IREAD | _S_IWRITE));
  return fd >= 0 ? fd : -errno;
}

// Windows gives the new file its folder's permissions; nothing to copy.
void keep_attributes(int, const target_state&) noexcept {}

std::FILE* write_stream(int fd) noexcept {
  std::FILE* f = _fdopen(fd, "wb");
  if (f == nullptr) {
    const int why = errno;
    (void)_close(fd);
    errno = why;
  }
  return f;
}

bool rename_over(const char* from, const char* to) noexcept {
  const auto wide_from = utf8_to_wide_path(from);
  const auto wide_to = utf8_to_wide_path(to);
  if (wide_from && wide_to &&
      MoveFileExW(wide_from.get(), wide_to.get(), MOVEFILE_REPLACE_EXISTING)) {
    return true;
  }
  errno = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : EIO;
  return false;
}

// Whoever may write a file may replace it on Windows: a refused rename is
// a real failure, not a folder's rule to work around.
bool copy_in_place(const char*, const char*) noexcept { return false; }

void remove_file(const char* path) noexcept {
  const auto wide = utf8_to_wide_path(path);
  if (wide) (void)_wremove(wide.get());
}

std::FILE* open_in_place(const std::string& path) noexcept {
  const auto wide = utf8_to_wide_path(path.c_str());
  if (!wide) {
    errno = ENOMEM;
    return nullptr;
  }
  const int fd = above_standard_streams(
      _wopen(wide.get(), _O_WRONLY | _O_BINARY | _O_NOINHERIT));
  return fd < 0 ? nullptr : write_stream(fd);
}

bool truncate_at(std::FILE* f, std::uint64_t size) noexcept {
  return _chsize_s(_fileno(f), static_cast<__int64>(size)) == 0;
}

}  // namespace files_detail
}  // namespace edgemap
