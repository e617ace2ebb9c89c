#include "bitmap/convert.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "bitmap/bitmap_header.h"
#include "bitmap/bitmap_io.h"
#include "edges/detect_edges.h"
#include "edges/free_list.h"
#include "edges/worker_pool.h"

namespace edgemap {
namespace {

// The band and window buffers of one conversion, handed on to the next one
// instead of freed (free_list.h).
struct buffers {
  pixel_buffer band;
  pixel_buffer window;
  pixel_buffer next_window;
};
using buffer_cache = free_list<buffers>;

// A set of buffers for the length of one conversion.
class borrowed_buffers {
 public:
  borrowed_buffers() noexcept : b_(buffer_cache::instance().take()) {}
  ~borrowed_buffers() {
    // As many sets as there are processors to use them; the rest freed.
    if (b_ != nullptr) {
      buffer_cache::instance().give_back(b_,
                                         2 * std::size_t{processor_count()});
    }
  }
  borrowed_buffers(const borrowed_buffers&) = delete;
  borrowed_buffers& operator=(const borrowed_buffers&) = delete;
  buffers* get() const noexcept { return b_; }

 private:
  buffers* b_;
};

status open_target(target_file& t, const destination& dest) noexcept {
  if (dest.stream != nullptr) {
    t.adopt(dest.stream);
    return status::ok;
  }
  return t.open(dest.path) ? status::ok : status::open_target;
}

// The target after a source that was refused: untouched, or emptied unless
// it is the source itself.
void settle_refused(conversion& c, const destination& dest,
                    const file_identity& source, on_refused_source rule) {
  c.wrote_image = false;
  c.pixel_bytes = 0;
  if (rule == on_refused_source::keep_target) {
    return;
  }
  if (dest.stream == nullptr && identity_of_path(dest.path).same_as(source)) {
    c.save = status::open_target;
    return;
  }
  target_file t;
  c.save = open_target(t, dest);
  if (c.save == status::ok) {
    c.save = t.commit() ? status::ok : status::write;
  }
  if (c.error == 0) c.error = t.error();
}

// Writes the edge map of a source whose layout has been judged good.
// source_stream, when the rows come from a file, is closed before the
// target takes its name: Windows renames nothing over a file that is open,
// and a source converted in place is that file.
void write_target(conversion& c, const bitmap_layout& l, const row_source& rows,
                  const destination& dest, const file_identity& source,
                  double threshold, unsigned threads, on_refused_source rule,
                  pixel_buffer& band, file_ptr* source_stream) {
  target_file t;
  c.save = open_target(t, dest);
  if (c.save != status::ok) {
    c.error = t.error();
    return;
  }
  auto header = initial_bmp_header();
  patch_bmp_header(header.data(), l);
  const status written =
      write_edge_map(t, header.data(), l, rows, true, threshold, threads, band);
  if (written != status::ok) {
    // The source ended early, or memory ran out: as a refused source.
    t.abandon();
    c.load = written;
    settle_refused(c, dest, source, rule);
    return;
  }
  if (source_stream != nullptr) source_stream->reset();
  c.save = t.commit() ? status::ok : status::write;
  c.error = t.error();
  c.wrote_image = true;
  c.pixel_bytes = l.pixel_bytes;
}

}  // namespace

conversion convert_file(const char* source, const destination& target,
                        double threshold, unsigned threads,
                        on_refused_source rule) noexcept {
  conversion c;
  file_ptr in(open_source(source));
  if (!in) {
    c.load = status::open_source;
    c.error = errno;
    // A file that cannot be read (chmod 200) still has an identity: its
    // name may be the target's too, which must then stay as it is.
    settle_refused(c, target, identity_of_path(source), rule);
    return c;
  }
  // Reads are a header and then whole bands: stdio's buffer would only add
  // a copy and a read ahead of the first seek.
  (void)std::setvbuf(in.get(), nullptr, _IONBF, 0);
  const file_identity id = identity_of(in.get());
  bitmap_layout l;
  c.load = read_layout(in.get(), l);
  if (c.load == status::ok && !seek_to(in.get(), l.data_offset)) {
    c.load = status::truncated;
  }
  const borrowed_buffers b;
  if (c.load == status::ok && b.get() == nullptr) {
    c.load = status::no_memory;
  }
  if (c.load != status::ok) {
    settle_refused(c, target, id, rule);
    return c;
  }
  const row_source rows{nullptr, in.get(), &b.get()->window,
                        &b.get()->next_window};
  write_target(c, l, rows, target, id, threshold, threads, rule, b.get()->band,
               &in);
  return c;
}

conversion convert_bytes(const std::uint8_t* bitmap, std::size_t size,
                         const destination& target, double threshold,
                         unsigned threads, on_refused_source rule) noexcept {
  conversion c;
  bitmap_layout l;
  c.load = parse_bitmap(bitmap, size, size, l);
  const borrowed_buffers b;
  if (c.load == status::ok && b.get() == nullptr) {
    c.load = status::no_memory;
  }
  if (c.load != status::ok) {
    settle_refused(c, target, file_identity{}, rule);
    return c;
  }
  const row_source rows{bitmap + l.data_offset};
  write_target(c, l, rows, target, file_identity{}, threshold, threads, rule,
               b.get()->band, nullptr);
  return c;
}

bool read_declared_bitmap(std::FILE* in, std::vector<std::uint8_t>& out) {
  // The bytes already read (a caller that sniffed the kind) stay first.
  if (out.size() < fields_end) {
    const std::size_t had = out.size();
    out.resize(fields_end);
    out.resize(had + std::fread(out.data() + had, 1, fields_end - had, in));
  }
  bitmap_layout l;
  // Judged as if the stream were as long as it says: a header that is
  // refused needs no more bytes to be refused.
  if (out.size() >= fields_end &&
      parse_bitmap(out.data(), fields_end, UINT64_MAX, l) == status::ok) {
    return read_up_to(in, out, std::uint64_t{l.data_offset} + l.pixel_bytes);
  }
  return std::ferror(in) == 0;
}

bool read_up_to(std::FILE* in, std::vector<std::uint8_t>& out,
                std::uint64_t total) {
  constexpr std::size_t chunk = std::size_t{1} << 20;
  while (out.size() < total) {
    const std::size_t at = out.size();
    const std::size_t want = static_cast<std::size_t>(
        total - at < chunk ? total - at : std::uint64_t{chunk});
    out.resize(at + want);
    const std::size_t got = std::fread(out.data() + at, 1, want, in);
    out.resize(at + got);
    if (got < want) break;
  }
  return std::ferror(in) == 0;
}

status convert_to_memory(const std::uint8_t* bitmap, std::size_t size,
                         void** out, std::size_t* out_size, double threshold,
                         unsigned threads) noexcept {
  *out = nullptr;
  *out_size = 0;
  bitmap_layout l;
  const status judged = parse_bitmap(bitmap, size, size, l);
  if (judged != status::ok) {
    return judged;
  }
  const std::size_t total = std::size_t{header_size} + l.pixel_bytes;
  auto* const target = static_cast<std::uint8_t*>(std::malloc(total));
  if (target == nullptr) {
    return status::no_memory;
  }
  auto header = initial_bmp_header();
  patch_bmp_header(header.data(), l);
  std::memcpy(target, header.data(), header_size);
  std::uint8_t* const pixels = target + header_size;
  const auto stride = static_cast<std::ptrdiff_t>(l.stride);
  if (!detect_edges_rows(whole_picture(bitmap + l.data_offset, pixels, l.width,
                                       l.height, stride, l.bytes_per_pixel),
                         threshold, threads)) {
    std::free(target);
    return status::no_memory;
  }
  zero_row_padding(pixels, l.height, l);
  *out = target;
  *out_size = total;
  return status::ok;
}

}  // namespace edgemap
