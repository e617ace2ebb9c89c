// Targets for the transcoder: edge maps encoded as a bitmap or a PNG, fed
// a few mask rows (1 for an edge, 0 elsewhere) at a time, and the bytes
// they write, to a target file or to memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "core/status.h"
#include "platform/files.h"

namespace edgemap {

// Where a target's bytes go: a target file, or a buffer from std::malloc
// that grows as needed.
class byte_output {
 public:
  explicit byte_output(target_file* file) noexcept : file_(file) {}
  byte_output() noexcept = default;
  ~byte_output() { std::free(memory_); }
  byte_output(const byte_output&) = delete;
  byte_output& operator=(const byte_output&) = delete;

  void write(const void* bytes, std::size_t count) noexcept;
  // Moves where the next write goes; false where it cannot (a pipe).
  bool seek(std::uint64_t offset) noexcept;
  bool failed() const noexcept {
    return file_ != nullptr ? file_->failed() : out_of_memory_;
  }
  bool in_memory() const noexcept { return file_ == nullptr; }
  // The memory written, handed over to the caller (std::free it).
  void* release(std::size_t& size) noexcept {
    size = end_;
    void* const taken = memory_;
    memory_ = nullptr;
    end_ = capacity_ = at_ = 0;
    return taken;
  }

 private:
  bool reserve(std::size_t size) noexcept;

  target_file* file_ = nullptr;
  std::uint8_t* memory_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t end_ = 0;  // bytes written
  std::size_t at_ = 0;   // where the next write goes
  bool out_of_memory_ = false;
};

class edge_sink {
 public:
  virtual ~edge_sink() = default;
  edge_sink() = default;
  edge_sink(const edge_sink&) = delete;
  edge_sink& operator=(const edge_sink&) = delete;

  // Whether rows are best given bottom row first.
  virtual bool wants_bottom_first() const noexcept = 0;
  // Whether the kernel writes this sink's rows itself, as pictures
  // (edge_output::picture) of packed_bytes(1) bytes a row, instead of mask
  // rows for pack() to turn into the target's pixels. pack() is then given
  // those rows, as its mask and its out, to finish them.
  virtual bool takes_picture() const noexcept { return false; }
  // Starts an image; rows come in the order bottom_first says.
  virtual status begin(std::uint32_t width, std::uint32_t height,
                       bool bottom_first) noexcept = 0;
  // Bytes that `count` rows take packed.
  virtual std::size_t packed_bytes(std::uint32_t count) const noexcept = 0;
  // Packs `count` mask rows, stride bytes apart, into out; from any
  // thread, several at once, once begin() has run.
  virtual void pack(const std::uint8_t* mask, std::size_t stride,
                    std::uint32_t count, std::uint8_t* out) const noexcept = 0;
  // Writes the next `count` rows, as pack() left them. A write failure is
  // status::write.
  virtual status put_packed(const std::uint8_t* packed,
                            std::uint32_t count) noexcept = 0;
  virtual status finish() noexcept = 0;
};

// A bottom-up bitmap of 1 (black and white palette), 8 (gray palette) or
// 24 bits per pixel. Fed top row first, it writes each band at its place,
// or, where the output cannot seek, keeps the pixel array until finish().
std::unique_ptr<edge_sink> make_bmp_sink(byte_output& out, unsigned bits);
// The legacy bitmap of a bitmap source of that layout: its header fields
// (initial_bmp_header, patched), its pixel size and row order, the edge
// picture in the first three bytes of each pixel and the source's bytes
// past the third kept; row padding zero.
struct bitmap_layout;
std::unique_ptr<edge_sink> make_legacy_bmp_sink(byte_output& out,
                                                const bitmap_layout& layout);
// A gray PNG of 1 or 8 bits per pixel, top row first.
std::unique_ptr<edge_sink> make_png_sink(byte_output& out, unsigned bits);

// A TIFF of 1 bit per pixel, CCITT G4 (MinIsWhite: edge black), or 8-bit
// gray, Deflate; top row first, in strips as the rows come.
std::unique_ptr<edge_sink> make_tiff_sink(byte_output& out, unsigned bits);
// The edge map turned by an EXIF orientation (image_source::orientation,
// asked once the last row is in): the mask is held, a bit a pixel, and
// given to `inner` turned when the image is finished.
class image_source;
std::unique_ptr<edge_sink> make_oriented_sink(std::unique_ptr<edge_sink> inner,
                                              const image_source& source);

// Row packers: mask bytes (1 edge, 0 elsewhere) to target pixels, edge
// black and elsewhere white.
// 1 bit per pixel, the first pixel in the high bit, white 1; bits past
// the last pixel are 0.
void pack_bits(const std::uint8_t* mask, std::uint32_t width,
               std::uint8_t* out) noexcept;
// 8 bits per pixel: 0 or 255.
void pack_gray(const std::uint8_t* mask, std::uint32_t width,
               std::uint8_t* out) noexcept;
// 24 bits per pixel: three bytes of 0 or 255.
void pack_rgb(const std::uint8_t* mask, std::uint32_t width,
              std::uint8_t* out) noexcept;

// Bytes of a packed row of `bits` per pixel, without padding.
inline std::size_t packed_row_bytes(std::uint32_t width,
                                    unsigned bits) noexcept {
  return (static_cast<std::size_t>(width) * bits + 7) / 8;
}

}  // namespace edgemap
