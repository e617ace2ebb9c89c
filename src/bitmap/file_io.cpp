#include "bitmap/file_io.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

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

#include "edges/process_lifetime.h"

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

// The temporary file's name beside the target: a dot, the start of the
// target's name (at most 32 bytes, cut where a UTF-8 character starts) for
// whoever finds it, and the suffix. Short whatever the target's name, which
// may already be as long as the file system allows.
std::string temp_name(const std::string& folder, const std::string& name) {
  std::size_t keep = name.size() < 32 ? name.size() : 32;
  while (keep > 0 && keep < name.size() &&
         (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) {
    --keep;
  }
  return folder + '.' + name.substr(0, keep) + temp_suffix();
}

void remove_file(const char* path) noexcept;

// The temporary files being written now, so that a program stopped by a
// signal can remove them (remove_temporary_targets).
class temporary_targets {
 public:
  static temporary_targets& instance() noexcept {
    return process_lifetime<temporary_targets>();
  }

  // False once the program is stopping. Throws std::bad_alloc.
  bool add(const std::string& path) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return false;
    paths_.push_back(path);
    return true;
  }

  void drop(const char* path) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto it = std::find(paths_.begin(), paths_.end(), path);
    if (it != paths_.end()) paths_.erase(it);
  }

  void remove_all() noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    for (const std::string& p : paths_) remove_file(p.c_str());
    paths_.clear();
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> paths_;
  bool stopping_ = false;
};

// Whether a failure to create or rename a file in a folder means the folder
// refuses it while the target itself may still be written in place.
bool folder_refused(int why) noexcept { return why == EACCES || why == EPERM; }

std::unique_ptr<char[]> copy_of(const std::string& s) {
  std::unique_ptr<char[]> out(new char[s.size() + 1]);
  std::memcpy(out.get(), s.c_str(), s.size() + 1);
  return out;
}

// How many names a temporary file gets before creating one is given up.
constexpr int temp_attempts = 64;

}  // namespace

#ifdef _WIN32

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

// Paths are UTF-8 everywhere else; Windows opens them by their UTF-16 names
// so that every name works, not only those of the ANSI code page, and long
// ones in the \\?\ form (utf8_to_wide_path), as every call below does.
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
  error_ = 0;
  const auto wide = utf8_to_wide_path(path);
  if (!wide || wide[0] == 0) {
    return refuse(ENOENT);
  }
  // What is there now: a file on disk is replaced, anything else (a
  // device such as NUL, a pipe) written in place. Opening for writing also
  // proves the caller may write it, read-only files included.
  const HANDLE h =
      CreateFileW(wide.get(), GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  const bool exists = h != INVALID_HANDLE_VALUE;
  if (!exists) {
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND) {
      return refuse(error == ERROR_ACCESS_DENIED ? EACCES : EINVAL);
    }
  } else {
    const DWORD type = GetFileType(h);
    CloseHandle(h);
    if (type != FILE_TYPE_DISK) {
      return writing_in_place(path);
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
      const std::string temp = temp_name(folder, name);
      const auto wide_temp = utf8_to_wide_path(temp.c_str());
      if (!wide_temp) return refuse(ENOMEM);
      if (!temporary_targets::instance().add(temp)) return refuse(EINTR);
      const int fd = above_standard_streams(
          _wopen(wide_temp.get(),
                 _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY | _O_NOINHERIT,
                 _S_IREAD | _S_IWRITE));
      if (fd < 0) {
        const int why = errno;
        temporary_targets::instance().drop(temp.c_str());
        if (why == EEXIST) continue;
        if (exists && folder_refused(why)) return writing_in_place(path);
        return refuse(why);
      }
      stream_ = _fdopen(fd, "wb");
      if (stream_ == nullptr) {
        const int why = errno;
        (void)_close(fd);
        (void)_wremove(wide_temp.get());
        temporary_targets::instance().drop(temp.c_str());
        return refuse(why);
      }
      return writing_through(temp, target);
    }
  } catch (const std::bad_alloc&) {
    return refuse(ENOMEM);
  }
  return refuse(EEXIST);
}

namespace {

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

// Windows lets whoever may write a file replace it; nothing to copy.
bool copy_in_place(const char*, const char*) noexcept { return false; }

void remove_file(const char* path) noexcept {
  const auto wide = utf8_to_wide_path(path);
  if (wide) (void)_wremove(wide.get());
}

}  // namespace

#else

int above_standard_streams(int fd) noexcept {
  if (fd < 0 || fd > 2) {
    return fd;
  }
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  const int why = errno;
  (void)::close(fd);
  errno = why;
  return moved;
}

std::FILE* open_file(const char* path, const char* mode) noexcept {
  if (path == nullptr) {
    return nullptr;
  }
  const bool write = mode[0] == 'w';
  const int flags = write ? O_WRONLY | O_CREAT | O_TRUNC : O_RDONLY;
  // 0666 less the umask, as fopen creates files.
  const int fd =
      above_standard_streams(::open(path, flags | O_CLOEXEC | O_NOCTTY, 0666));
  if (fd < 0) {
    return nullptr;
  }
  std::FILE* f = fdopen(fd, write ? "wb" : "rb");
  if (f == nullptr) {
    (void)::close(fd);
  }
  return f;
}

std::FILE* open_source(const char* path) noexcept {
  if (path == nullptr) {
    return nullptr;
  }
  // Non-blocking, so that opening a FIFO nobody writes to returns at once.
  const int fd = above_standard_streams(
      ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (fd < 0) {
    return nullptr;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
    (void)::close(fd);
    errno = 0;
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
  error_ = 0;
  if (path == nullptr || path[0] == '\0') {
    return refuse(ENOENT);
  }
  try {
    const std::string target = follow_links(path);
    struct stat st;
    const bool exists = stat(target.c_str(), &st) == 0;
    if (!exists && errno != ENOENT) {
      // A name too long, a file where a folder should be: no temporary
      // file beside it would fare better.
      return refuse(errno);
    }
    if (exists && !S_ISREG(st.st_mode)) {
      // Devices, FIFOs and the like are written in place; a folder fails
      // to open, as it always has.
      return writing_in_place(target.c_str());
    }
    if (exists) {
      // Only a target that could be opened for writing may be replaced.
      const int probe = above_standard_streams(
          ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY));
      if (probe < 0) {
        return refuse(errno);
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
      const std::string temp = temp_name(folder, name);
      // Known before it exists, so that a stop never misses it.
      if (!temporary_targets::instance().add(temp)) return refuse(EINTR);
      // 0666 less the umask, as a file fopen creates.
      const int fd = above_standard_streams(
          ::open(temp.c_str(),
                 O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666));
      if (fd < 0) {
        const int why = errno;
        temporary_targets::instance().drop(temp.c_str());
        if (why == EEXIST) continue;
        if (exists && folder_refused(why)) {
          return writing_in_place(target.c_str());
        }
        return refuse(why);
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
        const int why = errno;
        (void)::close(fd);
        (void)::unlink(temp.c_str());
        temporary_targets::instance().drop(temp.c_str());
        return refuse(why);
      }
      return writing_through(temp, target);
    }
  } catch (const std::bad_alloc&) {
    return refuse(ENOMEM);
  }
  return refuse(EEXIST);
}

namespace {

bool rename_over(const char* from, const char* to) noexcept {
  return std::rename(from, to) == 0;
}

// The fallback when the folder refuses the rename (a sticky folder, where
// only a file's owner may replace it): the finished temporary file copied
// over the target's bytes in place, as a tool writing in place would.
bool copy_in_place(const char* from, const char* to) noexcept {
  const int in =
      above_standard_streams(::open(from, O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (in < 0) {
    return false;
  }
  const int out = above_standard_streams(
      ::open(to, O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY));
  bool ok = out >= 0;
  static thread_local char chunk[1 << 16];
  while (ok) {
    const ssize_t n = ::read(in, chunk, sizeof chunk);
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    for (ssize_t done = 0; ok && done < n;) {
      const ssize_t w =
          ::write(out, chunk + done, static_cast<size_t>(n - done));
      ok = w > 0;
      done += ok ? w : 0;
    }
  }
  const int why = errno;
  if (out >= 0) ok = ::close(out) == 0 && ok;
  (void)::close(in);
  if (!ok) errno = why;
  return ok;
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

status target_file::writing_in_place(const char* path) noexcept {
  stream_ = open_file(path, "wb");
  if (stream_ == nullptr) {
    return refuse(errno);
  }
  owned_ = true;
  return status::ok;
}

void target_file::adopt(std::FILE* stream) noexcept {
  abandon();
  failed_ = false;
  error_ = 0;
  stream_ = stream;
  owned_ = false;
}

void target_file::write(const void* bytes, std::size_t count) noexcept {
  if (failed_ || count == 0 || stream_ == nullptr) {
    failed_ = failed_ || stream_ == nullptr;
    return;
  }
  failed_ = std::fwrite(bytes, 1, count, stream_) != count;
  if (failed_) error_ = errno;
}

status target_file::commit() noexcept {
  if (stream_ == nullptr) {
    return status::write;
  }
  // A full disk often shows only when the buffered tail is flushed here.
  bool ok = !failed_;
  const bool flushed =
      owned_ ? std::fclose(stream_) == 0 : std::fflush(stream_) == 0;
  if (ok && !flushed) error_ = errno;
  ok = ok && flushed;
  stream_ = nullptr;
  if (temp_path_) {
    if (ok && !rename_over(temp_path_.get(), final_path_.get())) {
      const int why = errno;
      ok = folder_refused(why) &&
           copy_in_place(temp_path_.get(), final_path_.get());
      if (!ok) error_ = folder_refused(why) ? errno : why;
      remove_file(temp_path_.get());
    } else if (!ok) {
      remove_file(temp_path_.get());
    }
    temporary_targets::instance().drop(temp_path_.get());
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
    temporary_targets::instance().drop(temp_path_.get());
    temp_path_.reset();
    final_path_.reset();
  }
}

void remove_temporary_targets() noexcept {
  temporary_targets::instance().remove_all();
}

}  // namespace edgemap
