#include "platform/paths.h"

#include <cstddef>
#include <new>

namespace edgemap {
namespace {

bool is_high_surrogate(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low_surrogate(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

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

// Unit is char16_t, or wchar_t where that is a UTF-16 unit.
template <class Unit>
std::unique_ptr<char[]> to_utf8(const Unit* wide) noexcept {
  static_assert(sizeof(Unit) == 2);
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
    char32_t cp = static_cast<char16_t>(wide[i]);
    const auto next = static_cast<char16_t>(wide[i + 1]);
    if (is_high_surrogate(cp) && is_low_surrogate(next)) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (next - 0xDC00u);
      ++i;
    } else if (is_high_surrogate(cp) || is_low_surrogate(cp)) {
      path[0] = '\0';
      return path;
    }
    out = put_utf8(out, cp);
  }
  *out = '\0';
  return path;
}

// Decodes the sequence at in; returns its length, or 0 when it is not
// UTF-8.
std::size_t get_utf8(const unsigned char* in, char32_t& cp) {
  const unsigned lead = in[0];
  std::size_t length = 0;
  char32_t least = 0;
  if (lead < 0x80) {
    cp = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    least = 0x80;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    least = 0x800;
    cp = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    least = 0x10000;
    cp = lead & 0x07;
  } else {
    return 0;
  }
  for (std::size_t k = 1; k < length; ++k) {
    // The terminator is not a continuation byte, so this stops there.
    if ((in[k] & 0xC0) != 0x80) {
      return 0;
    }
    cp = cp << 6 | (in[k] & 0x3Fu);
  }
  if (cp < least || cp > 0x10FFFF || is_high_surrogate(cp) ||
      is_low_surrogate(cp)) {
    return 0;
  }
  return length;
}

template <class Unit>
std::unique_ptr<Unit[]> from_utf8(const char* narrow) noexcept {
  static_assert(sizeof(Unit) == 2);
  if (narrow == nullptr) {
    return nullptr;
  }
  std::size_t n = 0;
  while (narrow[n] != '\0') {
    ++n;
  }
  // Never more units than bytes.
  std::unique_ptr<Unit[]> path(new (std::nothrow) Unit[n + 1]);
  if (!path) {
    return nullptr;
  }
  const auto* in = reinterpret_cast<const unsigned char*>(narrow);
  Unit* out = path.get();
  for (std::size_t i = 0; i < n;) {
    char32_t cp = 0;
    const std::size_t length = get_utf8(in + i, cp);
    if (length == 0) {
      path[0] = 0;
      return path;
    }
    i += length;
    if (cp >= 0x10000) {
      *out++ = static_cast<Unit>(0xD800 + ((cp - 0x10000) >> 10));
      *out++ = static_cast<Unit>(0xDC00 + (cp & 0x3FF));
    } else {
      *out++ = static_cast<Unit>(cp);
    }
  }
  *out = 0;
  return path;
}

template <class Unit>
bool starts_with(std::basic_string_view<Unit> s, const char* prefix) {
  std::size_t i = 0;
  for (; prefix[i] != '\0'; ++i) {
    if (i == s.size() || s[i] != static_cast<Unit>(prefix[i])) return false;
  }
  return true;
}

template <class Unit>
std::basic_string<Unit> to_units(const char* ascii) {
  std::basic_string<Unit> out;
  for (; *ascii != '\0'; ++ascii) out += static_cast<Unit>(*ascii);
  return out;
}

template <class Unit>
std::basic_string<Unit> to_long_form(std::basic_string_view<Unit> path,
                                     std::basic_string_view<Unit> full) {
  using view = std::basic_string_view<Unit>;
  // Names already in Win32's file (\\?\) or device (\\.\) namespace.
  auto prefixed = [](view s) {
    return starts_with(s, "\\\\?\\") || starts_with(s, "\\\\.\\");
  };
  if (prefixed(path) || full.size() < long_path_from) {
    return std::basic_string<Unit>(path);
  }
  std::basic_string<Unit> out(full);
  for (Unit& u : out) {
    if (u == Unit{'/'}) u = Unit{'\\'};
  }
  const view f(out);
  if (prefixed(f)) {
    return out;
  }
  if (starts_with(f, "\\\\")) {
    // \\server\share\... keeps one of its two leading backslashes.
    return to_units<Unit>("\\\\?\\UNC") + out.substr(1);
  }
  return to_units<Unit>("\\\\?\\") + out;
}

}  // namespace

std::u16string long_path_form(std::u16string_view path,
                              std::u16string_view full) {
  return to_long_form(path, full);
}

std::unique_ptr<char[]> utf16_to_utf8(const char16_t* wide) noexcept {
  return to_utf8(wide);
}

std::unique_ptr<char16_t[]> utf8_to_utf16(const char* narrow) noexcept {
  return from_utf8<char16_t>(narrow);
}

#ifdef _WIN32
std::unique_ptr<char[]> utf16_to_utf8(const wchar_t* wide) noexcept {
  return to_utf8(wide);
}

std::unique_ptr<wchar_t[]> utf8_to_wide(const char* narrow) noexcept {
  return from_utf8<wchar_t>(narrow);
}

std::wstring long_path_form(std::wstring_view path, std::wstring_view full) {
  return to_long_form(path, full);
}

#endif

}  // namespace edgemap
