// Memory for pixels, kept from one image to the next: the legacy entry's
// source pixel array and band of target rows, and the transcoder's windows
// of source rows, masks and packed rows of a band.
//
// Each is written whole for every image (the pixel array) or every band.
// Fresh memory costs a page fault per page on first touch, which on
// virtual machines takes longer than reading, detecting and writing the
// whole image, so a buffer is reused whenever the next image fits, and
// large buffers are 2 MiB-aligned and advised for transparent huge pages:
// one fault per 2 MiB instead of one per 4 KiB.
#pragma once

#include <cstddef>
#include <cstdint>

namespace edgemap {

class pixel_buffer {
 public:
  pixel_buffer() noexcept = default;
  pixel_buffer(const pixel_buffer&) = delete;
  pixel_buffer& operator=(const pixel_buffer&) = delete;
  pixel_buffer(pixel_buffer&& other) noexcept;
  pixel_buffer& operator=(pixel_buffer&& other) noexcept;
  ~pixel_buffer();

  // Makes room for at least `bytes` bytes (one, when asked for none). Keeps
  // the memory it has when that is large enough, so the contents are
  // whatever they were, or indeterminate after a new allocation. Returns
  // false, holding nothing, when the memory cannot be had.
  bool reserve(std::size_t bytes) noexcept;

  // Gives the memory back.
  void reset() noexcept;

  std::uint8_t* get() const noexcept { return data_; }
  std::size_t capacity() const noexcept { return capacity_; }
  std::uint8_t& operator[](std::size_t i) const noexcept { return data_[i]; }
  explicit operator bool() const noexcept { return data_ != nullptr; }

 private:
  std::uint8_t* data_ = nullptr;
  std::size_t capacity_ = 0;
  bool mapped_ = false;  // from the huge-page path, not malloc
};

}  // namespace edgemap
