// An image read from a stream, as standard input is read: its kind told by
// the first bytes, a PNG or JPEG decoded as the bytes arrive with those
// first bytes handed back to the decoder, a bitmap read as far as its
// header declares. The input is an option byte and the image; whatever
// the stream path makes of it (refusal or target) must be exactly what the
// same conversion makes of the same bytes in memory.
//   option byte, bit 0:    two threads, else one
//                bits 1-2: a BMP target of 24, 1 or 8 bits, or a PNG one
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fuzz_support.h"
#include "pipeline/transcode.h"

using namespace edgemap;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size == 0) return 0;
  transcode_options o;
  o.threads = 1 + (data[0] & 1u);
  static constexpr unsigned bmp_bits[] = {24, 1, 8};
  const unsigned pick = (data[0] >> 1) & 3u;
  o.format = pick < 3 ? target_format::bmp : target_format::png;
  o.bits = pick < 3 ? bmp_bits[pick] : 8;
  o.max_pixels = std::uint64_t{1} << 20;  // never 0: bombs would allocate
  const std::uint8_t* image = data + 1;
  const std::size_t image_size = size - 1;

  void* memory = nullptr;
  std::size_t memory_size = 0;
  const status in_memory =
      transcode_to_memory(image, image_size, &memory, &memory_size, o);
  const auto* out = static_cast<const std::uint8_t*>(memory);
  const fuzz::bytes expected(out, out + memory_size);
  std::free(memory);

  static const std::string source = fuzz::scratch_path("stream.in");
  static const std::string target = fuzz::scratch_path("stream.out");
  fuzz::write_file(source, image, image_size);
  // No target left from the run before; none there at all is as good.
  (void)std::remove(target.c_str());
  std::FILE* const stream = std::fopen(source.c_str(), "rb");
  if (stream == nullptr) fuzz::fail("cannot open the scratch source");
  const conversion c = transcode_stream(stream, {target.c_str(), nullptr}, o);
  (void)std::fclose(stream);
  if (c.failure() != in_memory) {
    fuzz::fail("the stream and memory conversions disagree on the outcome");
  }
  if (in_memory == status::ok && fuzz::read_file(target) != expected) {
    fuzz::fail("the stream and memory conversions wrote other bytes");
  }
  if (in_memory != status::ok && !fuzz::read_file(target).empty()) {
    fuzz::fail("a refused stream left a target behind");
  }
  return 0;
}
