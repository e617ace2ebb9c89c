// edgemap_convert_memory on an arbitrary byte string as the bitmap, with
// the thread count taken from the first byte. A refused bitmap must give
// no output at all; an accepted one a well-formed target, the same for one
// thread as for several, and the same as the band-wise writer gives for
// the same bytes.
#include <cstddef>
#include <cstdint>

#include "edgemap.h"
#include "fuzz_support.h"
#include "pipeline/transcode.h"

using namespace edgemap;

namespace {

fuzz::bytes converted(const std::uint8_t* bitmap, std::size_t size,
                      unsigned threads, int& status) {
  void* out = nullptr;
  std::size_t out_size = 0;
  status = edgemap_convert_memory(bitmap, size, &out, &out_size, 90.0, threads);
  if (status != EDGEMAP_OK && (out != nullptr || out_size != 0)) {
    fuzz::fail("a refused bitmap left output behind");
  }
  const auto* bytes = static_cast<const std::uint8_t*>(out);
  fuzz::bytes result(bytes, bytes + out_size);
  edgemap_free(out);
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const unsigned threads = data[0] % 5;
  const std::uint8_t* bitmap = data + 1;
  const std::size_t bitmap_size = size - 1;

  int status = 0;
  const fuzz::bytes t = converted(bitmap, bitmap_size, threads, status);
  if (status != EDGEMAP_OK) {
    return 0;
  }
  fuzz::check_target(t);

  int one_thread_status = 0;
  if (converted(bitmap, bitmap_size, 1, one_thread_status) != t) {
    fuzz::fail("the thread count changed the target");
  }
  static const std::string target = fuzz::scratch_path("banded.bmp");
  const conversion c =
      convert_bytes(bitmap, bitmap_size, {target.c_str(), nullptr}, 90.0,
                    threads, on_refused_source::keep_target);
  if (c.load != status::ok || c.save != status::ok ||
      fuzz::read_file(target) != t) {
    fuzz::fail("the band-wise writer gave another target");
  }
  return 0;
}
