// The exported entry point. Hosts load the library once and call it any
// number of times; the image of the last successful load stays in the
// module, so a call whose source is missing saves that image again.
#include <mutex>

#include "edgemap.h"
#include "entry/pipeline.h"
#include "platform/paths.h"

namespace {

constexpr std::int32_t result_code = 999;

std::mutex module_lock;
edgemap::image_state& module_image_state() {
  static edgemap::image_state state;
  return state;
}

}  // namespace

extern "C" EDGEMAP_API std::int32_t EDGEMAP_CALL
QTVSolbelP(const edgemap_char16* source_path,
           const edgemap_char16* target_path) noexcept {
  const auto fname_s = edgemap::utf16_to_utf8(source_path);
  const auto fname_t = edgemap::utf16_to_utf8(target_path);
  const std::lock_guard<std::mutex> lock(module_lock);
  (void)edgemap::run_pipeline(module_image_state(), fname_s.get(),
                              fname_t.get(), EDGEMAP_DEFAULT_THRESHOLD);
  return result_code;
}
