#include "bitmap/file_io.h"

#ifdef _WIN32
#include "entry/path_conversion.h"
#else
#include <sys/types.h>
#endif

namespace edgemap {

#ifdef _WIN32

// Paths are UTF-8 everywhere else; Windows opens them by their UTF-16 names
// so that every name works, not only those of the ANSI code page.
std::FILE* open_file(const char* path, const char* mode) noexcept {
  const auto wide_path = utf8_to_wide(path);
  const auto wide_mode = utf8_to_wide(mode);
  if (!wide_path || !wide_mode) {
    return nullptr;
  }
  return _wfopen(wide_path.get(), wide_mode.get());
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

bool seek_to(std::FILE* f, std::uint32_t offset) noexcept {
  return _fseeki64(f, static_cast<__int64>(offset), SEEK_SET) == 0;
}

#else

std::FILE* open_file(const char* path, const char* mode) noexcept {
  if (path == nullptr) {
    return nullptr;
  }
  return std::fopen(path, mode);
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

bool seek_to(std::FILE* f, std::uint32_t offset) noexcept {
  return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0;
}

#endif

void say(const char* text) noexcept {
  (void)std::fputs(text, stdout);
  // Nothing sensible can be done when standard output is gone.
  (void)std::fflush(stdout);
}

}  // namespace edgemap
