// UTF-16 paths from callers, turned into the UTF-8 the file system takes.
#pragma once

#include <memory>

namespace edgemap {

// Returns null for a null argument (no path) or when storage runs out; the
// empty string when the argument holds an unpaired surrogate, so that it
// fails to open like any other bad path. The locale plays no part.
std::unique_ptr<char[]> utf16_to_utf8(const char16_t* wide) noexcept;

}  // namespace edgemap
