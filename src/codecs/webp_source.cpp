// Placeholder until the decoder lands: refuses every image.
#include "pipeline/image_source.h"

namespace edgemap {

status open_webp_source(const source_bytes&, std::uint64_t,
                        std::unique_ptr<image_source>&) noexcept {
  return status::unsupported;
}

}  // namespace edgemap
