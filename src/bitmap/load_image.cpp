#include <cstring>

#include "bitmap/bitmap_header.h"
#include "bitmap/bitmap_io.h"
#include "platform/files.h"

namespace edgemap {
namespace {

// Drops the current image and its dimensions. The buffers' memory stays for
// the next image.
void forget_image(image_state& state) noexcept {
  state.has_image = false;
  state.target_ready = false;
  state.layout = bitmap_layout{};
}

status fail(image_state& state, status why) noexcept {
  state.failed_source = identity_of(state.fp_s.get());
  state.fp_s.reset();
  return why;
}

}  // namespace

status read_fields(std::FILE* f, std::uint8_t (&fields)[fields_end],
                   std::size_t& got, std::uint64_t& file_size) noexcept {
  const auto size = stream_size(f);
  if (!size) {
    return status::header;
  }
  file_size = *size;
  got = std::fread(fields, 1, fields_end, f);
  return status::ok;
}

status read_layout(std::FILE* f, bitmap_layout& layout) noexcept {
  std::uint8_t fields[fields_end];
  std::size_t got = 0;
  std::uint64_t file_size = 0;
  const status read = read_fields(f, fields, got, file_size);
  return read != status::ok ? read
                            : parse_bitmap(fields, got, file_size, layout);
}

status load_image_s(image_state& state, const char* fname_s) noexcept {
  // Replacing fp_s closes a stream that an earlier load left open.
  state.fp_s.reset(open_source(fname_s));
  if (!state.fp_s) {
    // The previous image stays, but never for this file (chmod 200): a
    // save to the same name keeps it as it is.
    state.failed_source = identity_of_path(fname_s);
    return status::open_source;
  }
  forget_image(state);
  state.failed_source = file_identity{};
  std::FILE* fp = state.fp_s.get();

  bitmap_layout l;
  const status judged = read_layout(fp, l);
  if (judged != status::ok) {
    return fail(state, judged);
  }
  if (!state.images_s.reserve(l.pixel_bytes)) {
    return fail(state, status::too_large);
  }
  if (!state.image_t.reserve(std::size_t{band_rows(l.stride, l.height)} *
                             l.stride)) {
    return fail(state, status::no_memory);
  }
  // The file may have shrunk since its size was taken.
  std::uint8_t* const pixels = state.images_s.get();
  const std::size_t got =
      seek_to(fp, l.data_offset) ? std::fread(pixels, 1, l.pixel_bytes, fp) : 0;
  if (got < l.needed) {
    return fail(state, status::truncated);
  }
  std::memset(pixels + got, 0, l.pixel_bytes - got);

  state.has_image = true;
  state.layout = l;
  return status::ok;
}

}  // namespace edgemap
