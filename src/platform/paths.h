// UTF-16 paths from callers, turned into the UTF-8 the rest of the code
// works with, and back into UTF-16 where a platform opens files by wide
// names.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace edgemap {

// Returns null for a null argument (no path) or when storage runs out; the
// empty string when the argument holds an unpaired surrogate, so that it
// fails to open like any other bad path. The locale plays no part.
std::unique_ptr<char[]> utf16_to_utf8(const char16_t* wide) noexcept;

// The inverse: null for null or when storage runs out, the empty string for
// bytes that are not UTF-8 (overlong forms, surrogates, truncated
// sequences, values past U+10FFFF).
std::unique_ptr<char16_t[]> utf8_to_utf16(const char* narrow) noexcept;

// Windows opens a path of MAX_PATH (260) characters or more only in its
// \\?\ form, unless the program declares itself long-path aware, which a
// library cannot count on. Paths switch to that form a little earlier, at
// the stricter limit Windows sets for folders (MAX_PATH less room for an
// 8.3 name), so that no length works for one call and fails for another.
inline constexpr std::size_t long_path_from = 248;

// The name to open `path` by on Windows. `full` is the same path made
// absolute, as GetFullPathNameW makes it (drive and current folder filled
// in, "." and ".." resolved). A path already in the \\?\ or \\.\ form,
// and one whose full form is shorter than long_path_from, comes back as
// given; any other becomes the \\?\ form of `full`: X:\... as \\?\X:\...,
// \\server\share\... as \\?\UNC\server\share\..., and every / turned into a
// backslash (that form takes no other separator). Plain strings, so the
// rules are tested on every platform.
std::u16string long_path_form(std::u16string_view path,
                              std::u16string_view full);

#ifdef _WIN32
// The same for wchar_t, which is a UTF-16 unit on Windows.
std::unique_ptr<char[]> utf16_to_utf8(const wchar_t* wide) noexcept;
std::unique_ptr<wchar_t[]> utf8_to_wide(const char* narrow) noexcept;
std::wstring long_path_form(std::wstring_view path, std::wstring_view full);

#endif

}  // namespace edgemap
