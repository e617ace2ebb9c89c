#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "bitmap/bitmap_header.h"
#include "bitmap/bitmap_io.h"
#include "bitmap/file_io.h"

namespace edgemap {
namespace {

// The file size is a 32-bit field, printed as a signed number as hosts have
// always seen it.
void say_file_size(std::uint32_t file_size) noexcept {
  char line[40];
  (void)std::snprintf(line, sizeof line, "file size = %" PRId32 "\n",
                      static_cast<std::int32_t>(file_size));
  say(line);
}

void say_pixel_size(std::uint32_t pixel_size) noexcept {
  char line[40];
  (void)std::snprintf(line, sizeof line, "size = %lf\n",
                      static_cast<double>(pixel_size));
  say(line);
}

bool write_all(std::FILE* fp, const std::uint8_t* bytes,
               std::uint32_t count) noexcept {
  return count == 0 || std::fwrite(bytes, 1, count, fp) == count;
}

}  // namespace

std::int32_t save_image_t(image_state& state, const char* fname_t) noexcept {
  state.fp_t.reset(open_file(fname_t, "wb"));
  if (!state.fp_t) {
    say("fopen fname_t error\n");
    state.fp_s.reset();
    return -1;
  }
  std::FILE* fp = state.fp_t.get();
  bool written = true;
  if (!state.has_image) {
    say_file_size(0);
    say_pixel_size(0);
  } else {
    const std::uint32_t pixel_size = pixel_bytes(state);
    if (!state.target_ready) {
      // Saved without detect_edges: an all-zero target rather than
      // whatever the memory held before.
      std::memset(state.image_t.get(), 0, pixel_size);
      state.target_ready = true;
    }
    const std::uint32_t file_size = header_size + pixel_size;
    say_file_size(file_size);
    patch_bmp_header(state, file_size);
    written = write_all(fp, state.bmp_header.data(), header_size);
    say_pixel_size(pixel_size);
    written = write_all(fp, state.image_t.get(), pixel_size) && written;
  }
  state.fp_s.reset();
  // A full disk often shows only when the buffered tail is flushed here.
  written = std::fclose(state.fp_t.release()) == 0 && written;
  if (!written) {
    say("fwrite fp_t error\n");
    return -1;
  }
  return 0;
}

}  // namespace edgemap
