// Placeholder until the encoder lands.
#include "pipeline/edge_sink.h"

namespace edgemap {

std::unique_ptr<edge_sink> make_tiff_sink(byte_output&, unsigned) {
  return nullptr;
}

}  // namespace edgemap
