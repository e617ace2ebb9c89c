// UTF-16 paths from callers, turned into the UTF-8 the rest of the code
// works with, and back into UTF-16 where a platform opens files by wide
// names.
#pragma once

#include <memory>

namespace edgemap {

// Returns null for a null argument (no path) or when storage runs out; the
// empty string when the argument holds an unpaired surrogate, so that it
// fails to open like any other bad path. The locale plays no part.
std::unique_ptr<char[]> utf16_to_utf8(const char16_t* wide) noexcept;

// The inverse: null for null or when storage runs out, the empty string for
// bytes that are not UTF-8 (overlong forms, surrogates, truncated
// sequences, values past U+10FFFF).
std::unique_ptr<char16_t[]> utf8_to_utf16(const char* narrow) noexcept;

#ifdef _WIN32
// The same for wchar_t, which is a UTF-16 unit on Windows.
std::unique_ptr<char[]> utf16_to_utf8(const wchar_t* wide) noexcept;
std::unique_ptr<wchar_t[]> utf8_to_wide(const char* narrow) noexcept;
#endif

}  // namespace edgemap
