// The files floor on POSIX systems.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/files.h"
#include "platform/files_detail.h"

namespace edgemap {

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

const bool positional_reads = true;

std::size_t read_at(std::FILE* f, std::uint64_t offset, void* out,
                    std::size_t count) noexcept {
  const int fd = fileno(f);
  std::size_t done = 0;
  while (done < count) {
    const ssize_t got = pread(fd, static_cast<char*>(out) + done, count - done,
                              static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

namespace {

file_identity identity_of_stat(const struct stat& st) noexcept {
  file_identity id;
  id.device = static_cast<std::uint64_t>(st.st_dev);
  id.file = static_cast<std::uint64_t>(st.st_ino);
  id.known = true;
  return id;
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

namespace files_detail {

const char* const separators = "/";

// Links in the folders on the way need no resolving: the folder part of
// the result still reaches the same place.
std::string resolve_target(const char* path) {
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

int inspect_target(const std::string& target, target_state& state) noexcept {
  struct stat st;
  if (stat(target.c_str(), &st) != 0) {
    return errno == ENOENT ? 0 : errno;
  }
  state.exists = true;
  state.regular = S_ISREG(st.st_mode);
  state.owner = st.st_uid;
  state.group = st.st_gid;
  state.mode = static_cast<std::uint32_t>(st.st_mode & 07777);
  return 0;
}

int may_write(const std::string& target) noexcept {
  const int probe = above_standard_streams(
      ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY));
  if (probe < 0) {
    return errno;
  }
  (void)::close(probe);
  return 0;
}

int create_exclusive(const std::string& temp) noexcept {
  // 0666 less the umask, as a file fopen creates.
  const int fd = above_standard_streams(::open(
      temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666));
  return fd >= 0 ? fd : -errno;
}

void keep_attributes(int fd, const target_state& state) noexcept {
  // Owner first: changing it may clear set-id bits.
  if (fchown(fd, static_cast<uid_t>(state.owner),
             static_cast<gid_t>(state.group)) != 0) {
    // Not this process's to give away: the replacement is its own.
  }
  (void)fchmod(fd, static_cast<mode_t>(state.mode));
}

std::FILE* write_stream(int fd) noexcept {
  std::FILE* f = fdopen(fd, "wb");
  if (f == nullptr) {
    const int why = errno;
    (void)::close(fd);
    errno = why;
  }
  return f;
}

bool rename_over(const char* from, const char* to) noexcept {
  return std::rename(from, to) == 0;
}

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

std::FILE* open_in_place(const std::string& path) noexcept {
  const int fd = above_standard_streams(
      ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY));
  return fd < 0 ? nullptr : write_stream(fd);
}

bool truncate_at(std::FILE* f, std::uint64_t size) noexcept {
  return ftruncate(fileno(f), static_cast<off_t>(size)) == 0;
}

}  // namespace files_detail
}  // namespace edgemap
