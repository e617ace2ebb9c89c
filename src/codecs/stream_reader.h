// A source's bytes as a decoder asks for them: from memory, or from a
// stream after the bytes already read from it to tell its kind (which a
// pipe cannot give back).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "pipeline/image_source.h"

namespace edgemap {

class stream_reader {
 public:
  stream_reader() noexcept = default;
  // Bytes in memory are a head with no stream behind it.
  explicit stream_reader(const source_bytes& in) noexcept
      : head_(in.data != nullptr ? in.data : in.head),
        head_left_(in.data != nullptr   ? in.size
                   : in.head != nullptr ? in.head_size
                                        : 0),
        stream_(in.data != nullptr ? nullptr : in.stream) {}

  // Up to n bytes into `to`; fewer only at the end of the input or on a
  // read error, which failed() tells apart.
  std::size_t read(std::uint8_t* to, std::size_t n) noexcept {
    const std::size_t from_head = n < head_left_ ? n : head_left_;
    if (from_head != 0) {
      std::memcpy(to, head_, from_head);
      head_ += from_head;
      head_left_ -= from_head;
    }
    // Equal whenever the head holds all n bytes, which cppcheck 2.10 misses.
    // cppcheck-suppress knownConditionTrueFalse
    if (from_head == n || stream_ == nullptr) return from_head;
    return from_head + std::fread(to + from_head, 1, n - from_head, stream_);
  }

  // Passes over n bytes; false when the input ends first. Streams are
  // read through, as a pipe cannot seek.
  bool skip(std::uint64_t n) noexcept {
    if (n <= head_left_) {
      head_ += n;
      head_left_ -= static_cast<std::size_t>(n);
      return true;
    }
    n -= head_left_;
    head_left_ = 0;
    std::uint8_t scratch[4096];
    while (n != 0) {
      const std::size_t part =
          n < sizeof scratch ? static_cast<std::size_t>(n) : sizeof scratch;
      if (read(scratch, part) != part) return false;
      n -= part;
    }
    return true;
  }

  bool failed() const noexcept {
    return stream_ != nullptr && std::ferror(stream_) != 0;
  }

 private:
  const std::uint8_t* head_ = nullptr;
  std::size_t head_left_ = 0;
  std::FILE* stream_ = nullptr;
};

}  // namespace edgemap
