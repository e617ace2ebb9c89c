// The whole pipeline on an arbitrary byte string as the source file: load,
// detect and save into a scratch target, on a fresh image state. Whatever
// the bytes, the target must be a well-formed black-and-white bitmap (or
// empty when the source was refused) and no stream may stay open. The
// streamed file conversion must agree with it byte for byte and status for
// status, and leave its target alone when it refuses the source.
#include <cstddef>
#include <cstdint>

#include "bitmap/bitmap_io.h"
#include "edges/detect_edges.h"
#include "entry/pipeline.h"
#include "fuzz_support.h"
#include "pipeline/transcode.h"

using namespace edgemap;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  static const std::string source = fuzz::scratch_path("source.bmp");
  static const std::string target = fuzz::scratch_path("target.bmp");
  fuzz::write_file(source, data, size);

  static const std::string converted = fuzz::scratch_path("converted.bmp");

  image_state state;
  const status loaded = load_image_s(state, source.c_str());
  (void)detect_edges(state, EDGEMAP_DEFAULT_THRESHOLD);
  if (save_image_t(state, target.c_str()) != status::ok) {
    fuzz::fail("a writable target was not saved");
  }
  if (state.fp_s) {
    fuzz::fail("a stream stayed open after the save");
  }

  const fuzz::bytes t = fuzz::read_file(target);
  fuzz::check_target(t);
  const std::uint8_t kept[] = {'k', 'e', 'p', 't'};
  fuzz::write_file(converted, kept, sizeof kept);
  const conversion c = convert_file(
      source.c_str(), {converted.c_str(), nullptr}, EDGEMAP_DEFAULT_THRESHOLD,
      0, on_refused_source::keep_target);
  const fuzz::bytes u = fuzz::read_file(converted);
  if (c.load != loaded) {
    fuzz::fail("the streamed conversion judged the source differently");
  }
  if (loaded != status::ok) {
    if (!t.empty()) fuzz::fail("a refused source left a non-empty target");
    if (u != fuzz::bytes(kept, kept + sizeof kept)) {
      fuzz::fail("a refused source changed the conversion's target");
    }
    return 0;
  }
  if (c.save != status::ok || u != t) {
    fuzz::fail("the streamed conversion wrote another target");
  }
  if (t.empty()) fuzz::fail("a loaded source left an empty target");
  // The target describes the source it came from.
  if (fuzz::u32_at(t.data(), t.size(), 18) != fuzz::u32_at(data, size, 18) ||
      fuzz::u32_at(t.data(), t.size(), 22) != fuzz::u32_at(data, size, 22) ||
      t[28] != data[28]) {
    fuzz::fail("target dimensions differ from the source's");
  }
  return 0;
}
