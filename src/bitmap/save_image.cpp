#include "bitmap/bitmap_header.h"
#include "bitmap/bitmap_io.h"
#include "platform/files.h"

namespace edgemap {

status save_image_t(image_state& state, const char* fname_t,
                    unsigned threads) noexcept {
  // After a failed load the target gets the image an earlier load left, or
  // is emptied; when that target is the file the load failed to read, the
  // user's file stays as it is instead.
  if (state.failed_source.known &&
      identity_of_path(fname_t).same_as(state.failed_source)) {
    state.fp_s.reset();
    return status::open_target;
  }
  target_file target;
  const status opened = target.open(fname_t) ? status::ok : status::open_target;
  state.fp_s.reset();
  if (opened != status::ok) {
    return opened;
  }
  if (state.has_image) {
    patch_bmp_header(state.bmp_header.data(), state.layout);
    if (write_edge_map(target, state.bmp_header.data(), state.layout,
                       state.images_s.get(), state.target_ready,
                       state.threshold, threads, state.image_t) != status::ok) {
      // Out of memory halfway: the old target stays, as after a failed
      // write.
      target.abandon();
      return status::write;
    }
  }
  return target.commit() ? status::ok : status::write;
}

}  // namespace edgemap
