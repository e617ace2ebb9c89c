#include "bitmap/file_io.h"

#include <sys/types.h>

namespace edgemap {

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

void say(const char* text) noexcept {
  (void)std::fputs(text, stdout);
  // Nothing sensible can be done when standard output is gone.
  (void)std::fflush(stdout);
}

}  // namespace edgemap
