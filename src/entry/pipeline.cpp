#include "entry/pipeline.h"

#include <cinttypes>

#include "bitmap/bitmap_io.h"
#include "edges/detect_edges.h"

namespace edgemap {
namespace {

// Each line is flushed at once, so a host sees the library's lines in
// order with its own output.
void say(std::FILE* lines, const char* text) noexcept {
  (void)std::fputs(text, lines);
  // Nothing sensible can be done when the stream is gone.
  (void)std::fflush(lines);
}

void say_failure(std::FILE* lines, status s) noexcept {
  switch (s) {
    case status::ok:
      return;
    case status::open_source:
      return say(lines, "fopen fp_s error\n");
    case status::header:
      return say(lines, "fread fp_s error\n");
    case status::bit_count:
      return say(lines, "check bit_count error\n");
    case status::too_large:
    // A target past bfSize's 32 bits is the legacy entry's own too_large.
    case status::target_too_large:
      return say(lines, "malloc images_s error\n");
    case status::no_memory:
      return say(lines, "malloc image_t error\n");
    case status::truncated:
      return say(lines, "fread images_s error\n");
    case status::open_target:
      return say(lines, "fopen fname_t error\n");
    case status::write:
    // The legacy stages never report these; they stand with a failed write.
    case status::argument:
    case status::unsupported:
    case status::pixel_limit:
    case status::corrupt:
    case status::not_image:
      return say(lines, "fwrite fp_t error\n");
  }
}

// What a save prints: the two size lines once the target is open (both 0
// without an image; the file size is a 32-bit field, printed signed as
// hosts have always seen it), then its failure, if any.
void say_save(std::FILE* lines, status saved, bool image,
              std::uint32_t pixel_size) noexcept {
  if (saved == status::open_target) {
    return say_failure(lines, saved);
  }
  const std::uint32_t file_size = image ? header_size + pixel_size : 0;
  char line[48];
  (void)std::snprintf(line, sizeof line, "file size = %" PRId32 "\n",
                      static_cast<std::int32_t>(file_size));
  say(lines, line);
  (void)std::snprintf(line, sizeof line, "size = %lf\n",
                      static_cast<double>(pixel_size));
  say(lines, line);
  say_failure(lines, saved);
}

}  // namespace

bool run_pipeline(image_state& state, const char* fname_s, const char* fname_t,
                  double threshold, std::FILE* lines) noexcept {
  const status loaded = load_image_s(state, fname_s);
  say_failure(lines, loaded);
  (void)detect_edges(state, threshold);  // cannot fail
  const status saved = save_image_t(state, fname_t);
  say_save(lines, saved, state.has_image, pixel_bytes(state));
  return loaded == status::ok && saved == status::ok;
}

bool print_conversion(const conversion& c, std::FILE* lines) noexcept {
  say_failure(lines, c.load);
  say_save(lines, c.save, c.wrote_image, c.pixel_bytes);
  return c.load == status::ok && c.save == status::ok;
}

}  // namespace edgemap
