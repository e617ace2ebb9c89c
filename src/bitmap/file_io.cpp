#include "bitmap/file_io.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

#include "bitmap/path_conversion.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#endif

namespace edgemap {
namespace {

// A name for a temporary file that no other writer, in this process or
// another, picks at the same moment; creation with O_EXCL settles any
// clash that remains.
std::string temp_suffix() {
  static std::atomic<std::uint64_t> counter{0};
  const auto ticks = static_cast<std::uint64_t>(
      std::chrono::steady_clock::now().time_since_epoch().count());
  std::uint64_t mix =
      ticks ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull) ^
      static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&mix));
  std::string out = ".edgemap-";
  for (int i = 0; i < 12; ++i) {
    out += "0123456789abcdefghijklmnopqrstuv"[mix & 31];
    mix >>= 5;
  }
  return out + ".tmp";
}

std::unique_ptr<char[]> copy_of(const std::string& s) {
  std::unique_ptr<char[]> out(new char[s.size() + 1]);
  std::memcpy(out.get(), s.c_str(), s.size() + 1);
  return out;
}

// How many names a temporary file gets before creating one is given up.
constexpr int temp_attempts = 64;

}  // namespace

#ifdef _WIN32

// Paths are UTF-8 everywhere else; Windows opens them by their UTF-16 names
// so that every name works, not only those of the ANSI code page, and long
// ones in the \\?\ form (utf8_to_wide_path), as every call below does.
std::FILE* open_file(const char* path, const char* mode) noexcept {
  const auto wide_path = utf8_to_wide_path(path);
  const auto wide_mode = utf8_to_wide(mode);
  if (!wide_path || !wide_mode) {
    return nullptr;
  }
  return _wfopen(wide_path.get(), wide_mode.get());
}

// Windows has no FIFOs in its file system; a named pipe needs its own
// \\.\pipe\ name, which is refused as any name that is not a file is.
std::FILE* open_source(const char* path) noexcept {
  std::FILE* f = open_file(path, "rb");
  if (f != nullptr) {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
    if (GetFileType(handle) == FILE_TYPE_PIPE) {
      (void)std::fclose(f);
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

status target_file::open(const char* path) noexcept {
  abandon();
  failed_ = false;
  const auto wide = utf8_to_wide_path(path);
  if (!wide || wide[0] == 0) {
    return status::open_target;
  }
  // What is there now: a file on disk is replaced, anything else (a
  // device such as NUL, a pipe) written in place. Opening for writing also
  // proves the caller may write it, read-only files included.
  const HANDLE h =
      CreateFileW(wide.get(), GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND) {
      return status::open_target;
    }
  } else {
    const DWORD type = GetFileType(h);
    CloseHandle(h);
    if (type != FILE_TYPE_DISK) {
      stream_ = open_file(path, "wb");
      owned_ = true;
      return stream_ != nullptr ? status::ok : status::open_target;
    }
  }
  try {
    const std::string target = path;
    const auto slash = target.find_last_of("/\\");
    const std::string folder = slash == std::string::npos
                                   ? std::string()
                                   : target.substr(0, slash + 1);
    const std::string name =
        slash == std::string::npos ? target : target.substr(slash + 1);
    for (int attempt = 0; attempt < temp_attempts; ++attempt) {
      std::string temp = folder;
      temp += '.';
      temp += name;
      temp += temp_suffix();
      const auto wide_temp = utf8_to_wide_path(temp.c_str());
      if (!wide_temp) return status::open_target;
      const int fd =
          _wopen(wide_temp.get(),
                 _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY | _O_NOINHERIT,
                 _S_IREAD | _S_IWRITE);
      if (fd < 0) {
        if (errno == EEXIST) continue;
        return status::open_target;
      }
      stream_ = _fdopen(fd, "wb");
      if (stream_ == nullptr) {
        (void)_close(fd);
        (void)_wremove(wide_temp.get());
        return status::open_target;
      }
      return writing_through(temp, target);
    }
  } catch (const std::bad_alloc&) {
  }
  return status::open_target;
}

namespace {

bool rename_over(const char* from, const char* to) noexcept {
  const auto wide_from = utf8_to_wide_path(from);
  const auto wide_to = utf8_to_wide_path(to);
  return wide_from && wide_to &&
         MoveFileExW(wide_from.get(), wide_to.get(),
                     MOVEFILE_REPLACE_EXISTING) != 0;
}

void remove_file(const char* path) noexcept {
  const auto wide = utf8_to_wide_path(path);
  if (wide) (void)_wremove(wide.get());
}

}  // namespace

#else

std::FILE* open_file(const char* path, const char* mode) noexcept {
  if (path == nullptr) {
    return nullptr;
  }
  return std::fopen(path, mode);
}

std::FILE* open_source(const char* path) noexcept {
  if (path == nullptr) {
    return nullptr;
  }
  // Non-blocking, so that opening a FIFO nobody writes to returns at once.
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    return nullptr;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
    (void)::close(fd);
    return nullptr;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    (void)::close(fd);
    return nullptr;
  }
  std::FILE* f = fdopen(fd, "rb");
  if (f == nullptr) {
    (void)::close(fd);
  }
  return f;
}

std::optional<std::uint64_t> stream_size(std::FILE* f) noexcept {
  if (fseeko(f, 0, SEEK_END) != 0) {
    return std::nullopt;
  }
  const off_t end = ftello(f);
  if (end < 0 || fseeko(f, 0, SEEK_SET) != 0) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(end);
}

bool seek_to(std::FILE* f, std::uint64_t offset) noexcept {
  return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0;
}

namespace {

file_identity identity_of_stat(const struct stat& st) noexcept {
  file_identity id;
  id.device = static_cast<std::uint64_t>(st.st_dev);
  id.file = static_cast<std::uint64_t>(st.st_ino);
  id.known = true;
  return id;
}

// The name a chain of symbolic links ends at (the last one's target may
// not exist yet). Links in the folders on the way need no resolving: the
// folder part of the result still reaches the same place.
std::string follow_links(const std::string& path) {
  std::string at = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      return at;
    }
    std::string link(static_cast<std::size_t>(st.st_size) + 256, '\0');
    const ssize_t n = readlink(at.c_str(), link.data(), link.size());
    if (n < 0 || static_cast<std::size_t>(n) >= link.size()) {
      return at;
    }
    link.resize(static_cast<std::size_t>(n));
    const auto slash = at.find_last_of('/');
    if (link[0] == '/' || slash == std::string::npos) {
      at = link;
    } else {
      at.resize(slash + 1);
      at += link;
    }
  }
  return at;  // a loop: opening it fails as it would have
}

}  // namespace

file_identity identity_of(std::FILE* f) noexcept {
  struct stat st;
  return fstat(fileno(f), &st) == 0 ? identity_of_stat(st) : file_identity{};
}

file_identity identity_of_path(const char* path) noexcept {
  struct stat st;
  return path != nullptr && stat(path, &st) == 0 ? identity_of_stat(st)
                                                 : file_identity{};
}

status target_file::open(const char* path) noexcept {
  abandon();
  failed_ = false;
  if (path == nullptr || path[0] == '\0') {
    return status::open_target;
  }
  try {
    const std::string target = follow_links(path);
    struct stat st;
    const bool exists = stat(target.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
      // Devices, FIFOs and the like are written in place; a folder fails
      // to open, as it always has.
      stream_ = std::fopen(target.c_str(), "wb");
      owned_ = true;
      return stream_ != nullptr ? status::ok : status::open_target;
    }
    if (exists) {
      // Only a target that could be opened for writing may be replaced.
      const int probe = ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
      if (probe < 0) {
        return status::open_target;
      }
      (void)::close(probe);
    }
    const auto slash = target.find_last_of('/');
    const std::string folder = slash == std::string::npos
                                   ? std::string()
                                   : target.substr(0, slash + 1);
    const std::string name =
        slash == std::string::npos ? target : target.substr(slash + 1);
    for (int attempt = 0; attempt < temp_attempts; ++attempt) {
      std::string temp = folder;
      temp += '.';
      temp += name;
      temp += temp_suffix();
      // 0666 less the umask, as a file fopen creates.
      const int fd =
          ::open(temp.c_str(),
                 O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
      if (fd < 0) {
        if (errno == EEXIST) continue;
        return status::open_target;
      }
      if (exists) {
        // The replacement keeps the old file's permission bits and, where
        // this process may set it, its owner.
        // (Owner first: changing it may clear set-id bits.)
        if (fchown(fd, st.st_uid, st.st_gid) != 0) {
          // Not this process's to give away: the replacement is its own.
        }
        (void)fchmod(fd, st.st_mode & 07777);
      }
      stream_ = fdopen(fd, "wb");
      if (stream_ == nullptr) {
        (void)::close(fd);
        (void)::unlink(temp.c_str());
        return status::open_target;
      }
      return writing_through(temp, target);
    }
  } catch (const std::bad_alloc&) {
  }
  return status::open_target;
}

namespace {

bool rename_over(const char* from, const char* to) noexcept {
  return std::rename(from, to) == 0;
}

void remove_file(const char* path) noexcept { (void)::unlink(path); }

}  // namespace

#endif

status target_file::writing_through(const std::string& temp,
                                    const std::string& target) {
  // Whole bands are written at a time: no buffer needed.
  (void)std::setvbuf(stream_, nullptr, _IONBF, 0);
  owned_ = true;
  temp_path_ = copy_of(temp);
  final_path_ = copy_of(target);
  return status::ok;
}

void target_file::adopt(std::FILE* stream) noexcept {
  abandon();
  failed_ = false;
  stream_ = stream;
  owned_ = false;
}

void target_file::write(const void* bytes, std::size_t count) noexcept {
  if (failed_ || count == 0 || stream_ == nullptr) {
    failed_ = failed_ || stream_ == nullptr;
    return;
  }
  failed_ = std::fwrite(bytes, 1, count, stream_) != count;
}

status target_file::commit() noexcept {
  if (stream_ == nullptr) {
    return status::write;
  }
  // A full disk often shows only when the buffered tail is flushed here.
  bool ok = !failed_;
  if (owned_) {
    ok = std::fclose(stream_) == 0 && ok;
  } else {
    ok = std::fflush(stream_) == 0 && ok;
  }
  stream_ = nullptr;
  if (temp_path_) {
    ok = ok && rename_over(temp_path_.get(), final_path_.get());
    if (!ok) remove_file(temp_path_.get());
    temp_path_.reset();
    final_path_.reset();
  }
  failed_ = !ok;
  return ok ? status::ok : status::write;
}

void target_file::abandon() noexcept {
  if (stream_ != nullptr && owned_) {
    (void)std::fclose(stream_);
  }
  stream_ = nullptr;
  if (temp_path_) {
    remove_file(temp_path_.get());
    temp_path_.reset();
    final_path_.reset();
  }
}

}  // namespace edgemap
