// libtiff over this library's own bytes: a source in memory or a seekable
// stream to read, a byte_output to write, and a handle's errors and
// warnings kept for its owner instead of printed. libtiff's default
// handlers write to standard error and are process-wide, and this library
// runs on many threads inside programs that may use libtiff themselves, so
// every handle is opened with handlers of its own.
#pragma once

#include <tiffio.h>

#include <cstdint>
#include <memory>

#include "core/status.h"
#include "pipeline/edge_sink.h"
#include "pipeline/image_source.h"

namespace edgemap {

// The most libtiff may take in one allocation, and the most a decoder here
// takes for one row or tile of samples: more than any sensible strip or
// tile needs, while a directory that asks for gigabytes is refused before
// they are taken.
inline constexpr std::uint64_t tiff_block_limit = std::uint64_t{256} << 20;

// What libtiff said about one handle.
struct tiff_messages {
  bool error = false;
  bool warning = false;
  // An allocation refused or failed: the image may be fine, the memory
  // was not there.
  bool out_of_memory = false;

  // The failure they amount to, when a call has failed.
  status failure() const noexcept {
    return out_of_memory ? status::no_memory : status::corrupt;
  }
};

struct tiff_closer {
  void operator()(TIFF* tif) const noexcept { TIFFClose(tif); }
};
using tiff_ptr = std::unique_ptr<TIFF, tiff_closer>;

// A source's bytes as libtiff reads them, from its own position: several
// handles may read one source at once, each through its own tiff_input.
struct tiff_input {
  source_bytes bytes;
  std::uint64_t size = 0;
  std::uint64_t at = 0;
};

// Opens input (memory, or a stream that seeks) with libtiff's mode letters
// (`mode`, "r..."). Null when libtiff refuses it; messages say why.
TIFF* open_tiff_input(tiff_input& input, const char* mode,
                      tiff_messages& messages) noexcept;

// Where a TIFF being written goes. libtiff writes its header first and
// its directory last, seeking back to link them; `to` must seek (a file or
// memory). A byte skipped over is written as zero, so that the bytes are
// the same wherever they go, a file written in place included.
class tiff_output {
 public:
  explicit tiff_output(byte_output& to) noexcept : to_(&to) {}
  // Everything libtiff writes from now on is dropped: the output belongs
  // to someone else once the target is finished or abandoned.
  void detach() noexcept { to_ = nullptr; }

  bool write(const void* bytes, std::uint64_t count) noexcept;
  std::uint64_t seek(std::int64_t offset, int whence) noexcept;
  std::uint64_t size() const noexcept { return end_; }

 private:
  byte_output* to_;
  std::uint64_t at_ = 0;      // where libtiff writes next
  std::uint64_t end_ = 0;     // bytes written
  std::uint64_t placed_ = 0;  // where to_ writes next
};

// Opens a TIFF to write (mode "w..."). Null when libtiff refuses.
TIFF* open_tiff_output(tiff_output& output, const char* mode,
                       tiff_messages& messages) noexcept;

}  // namespace edgemap
