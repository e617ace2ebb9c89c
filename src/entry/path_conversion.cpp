#include "entry/path_conversion.h"

#include <cstddef>
#include <new>

namespace edgemap {
namespace {

bool is_high_surrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low_surrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

char* put_utf8(char* out, char32_t cp) {
  auto put = [&out](unsigned value) { *out++ = static_cast<char>(value); };
  if (cp < 0x80) {
    put(cp);
  } else if (cp < 0x800) {
    put(0xC0 | cp >> 6);
    put(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    put(0xE0 | cp >> 12);
    put(0x80 | (cp >> 6 & 0x3F));
    put(0x80 | (cp & 0x3F));
  } else {
    put(0xF0 | cp >> 18);
    put(0x80 | (cp >> 12 & 0x3F));
    put(0x80 | (cp >> 6 & 0x3F));
    put(0x80 | (cp & 0x3F));
  }
  return out;
}

}  // namespace

std::unique_ptr<char[]> utf16_to_utf8(const char16_t* wide) noexcept {
  if (wide == nullptr) {
    return nullptr;
  }
  std::size_t n = 0;
  while (wide[n] != 0) {
    ++n;
  }
  // One unit gives at most 3 bytes, a surrogate pair (two units) 4.
  std::unique_ptr<char[]> path(new (std::nothrow) char[3 * n + 1]);
  if (!path) {
    return nullptr;
  }
  char* out = path.get();
  for (std::size_t i = 0; i < n; ++i) {
    char32_t cp = wide[i];
    if (is_high_surrogate(wide[i]) && is_low_surrogate(wide[i + 1])) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (wide[i + 1] - 0xDC00);
      ++i;
    } else if (is_high_surrogate(wide[i]) || is_low_surrogate(wide[i])) {
      path[0] = '\0';
      return path;
    }
    out = put_utf8(out, cp);
  }
  *out = '\0';
  return path;
}

}  // namespace edgemap
