// The whole pipeline on an arbitrary byte string as the source file: load,
// detect and save into a scratch target, on a fresh image state. Whatever
// the bytes, the target must be a well-formed black-and-white bitmap (or
// empty when the source was refused) and no stream may stay open.
#include <cstddef>
#include <cstdint>

#include "bitmap/bitmap_io.h"
#include "edges/detect_edges.h"
#include "entry/pipeline.h"
#include "fuzz_support.h"

using namespace edgemap;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  static const std::string source = fuzz::scratch_path("source.bmp");
  static const std::string target = fuzz::scratch_path("target.bmp");
  fuzz::write_file(source, data, size);

  image_state state;
  const std::int32_t loaded = load_image_s(state, source.c_str());
  (void)detect_edges(state, edge_threshold);
  if (save_image_t(state, target.c_str()) != 0) {
    fuzz::fail("a writable target was not saved");
  }
  if (state.fp_s || state.fp_t) {
    fuzz::fail("a stream stayed open after the save");
  }

  const fuzz::bytes t = fuzz::read_file(target);
  fuzz::check_target(t);
  if (loaded != 0) {
    if (!t.empty()) fuzz::fail("a refused source left a non-empty target");
    return 0;
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
