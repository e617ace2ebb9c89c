// The transcoder: a source's rows decoded a band at a time into a window
// that also holds the row above and the row below the band, the band's
// edge mask computed by the selected kernel, and the mask rows encoded.
// With a thread to spare, the next band is decoded while this one is
// computed and encoded, so decoding, the slowest step, sets the pace.
#include "codecs/transcode.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "bitmap/bitmap_io.h"
#include "codecs/edge_sink.h"
#include "codecs/image_source.h"
#include "edges/detect_edges.h"
#include "edges/worker_pool.h"

namespace edgemap {
namespace {

// Source bytes per band: the window stays in the cache between being
// decoded and being read by the kernel.
constexpr std::size_t band_source_bytes = static_cast<std::size_t>(1) << 20;

struct malloc_buffer {
  std::uint8_t* bytes = nullptr;
  malloc_buffer() noexcept = default;
  malloc_buffer(const malloc_buffer&) = delete;
  malloc_buffer& operator=(const malloc_buffer&) = delete;
  ~malloc_buffer() { std::free(bytes); }
  bool allocate(std::uint64_t size) noexcept {
    if (size > SIZE_MAX) return false;
    bytes = static_cast<std::uint8_t*>(
        std::malloc(size == 0 ? 1 : static_cast<std::size_t>(size)));
    return bytes != nullptr;
  }
};

// Rows [lo, hi) of the source, in the order it delivers them.
struct row_window {
  std::uint8_t* rows = nullptr;
  std::uint32_t lo = 0;
  std::uint32_t hi = 0;

  // Makes rows [from, to) available: those `last` holds are copied from it,
  // the others decoded. Touches nothing of `last` but reading its rows.
  status follow(const row_window* last, std::uint32_t from, std::uint32_t to,
                std::size_t row_bytes, image_source& src) noexcept {
    std::uint32_t kept = 0;
    if (last != nullptr && last->hi > from) {
      kept = last->hi - from;
      std::memcpy(rows, last->rows + (from - last->lo) * row_bytes,
                  kept * row_bytes);
    }
    lo = from;
    hi = to;
    return src.read_rows(rows + kept * row_bytes, row_bytes, to - from - kept);
  }
};

// The buffers one band takes on its way through: source rows (a window
// with a row above and below), its mask, and the mask packed.
struct band_buffers {
  malloc_buffer window;
  malloc_buffer mask;
  malloc_buffer packed;

  bool allocate(std::uint64_t window_bytes, std::uint64_t mask_bytes,
                std::uint64_t packed_bytes) noexcept {
    return window.allocate(window_bytes) && mask.allocate(mask_bytes) &&
           packed.allocate(packed_bytes);
  }
};

// What every band of one conversion shares.
struct pipeline {
  image_source* src;
  edge_sink* sink;
  double threshold;
  std::uint32_t width, height, band;

  std::uint32_t band_end(std::uint32_t r0) const noexcept {
    return height - r0 < band ? height : r0 + band;
  }

  // Rows [r0, r1) of the mask from source rows [lo, ...) at rows, stride
  // apart, packed into b.packed.
  bool compute(const std::uint8_t* rows, std::ptrdiff_t stride,
               std::uint32_t lo, std::uint32_t hi, std::uint32_t r0,
               std::uint32_t r1, band_buffers& b,
               unsigned threads) const noexcept {
    pixel_view v = whole_image(
        rows, stride, b.mask.bytes, static_cast<std::ptrdiff_t>(width), width,
        hi - lo, src->bytes_per_pixel(), edge_output::mask);
    v.first_row = r0 - lo;
    v.last_row = r1 - lo;
    if (!detect_edges_rows(v, threshold, threads)) return false;
    sink->pack(b.mask.bytes, width, r1 - r0, b.packed.bytes);
    return true;
  }
};

// Sources that give any rows at any time, from any thread (bitmaps): each
// worker takes the next band, reads its rows, computes and packs its mask,
// then waits for the band before it to be written and writes its own. A
// band is taken only after every band before it was taken by a worker that
// is running, so the wait always ends, also when one thread ends up running
// every part.
struct parallel_bands {
  const pipeline* p;
  band_buffers* buffers;
  std::uint32_t bands;
  std::atomic<std::uint32_t> next{0};
  std::atomic<std::uint32_t> written{0};
  std::atomic<int> failure{0};  // the first failure's status

  void fail(status s) noexcept {
    int none = 0;
    (void)failure.compare_exchange_strong(none, static_cast<int>(s));
  }

  status band(std::uint32_t b, band_buffers& mine) noexcept {
    const std::uint32_t r0 = b * p->band;
    const std::uint32_t r1 = p->band_end(r0);
    const std::uint32_t lo = r0 == 0 ? 0 : r0 - 1;
    const std::uint32_t hi = r1 == p->height ? r1 : r1 + 1;
    std::ptrdiff_t stride = 0;
    status s = status::ok;
    const std::uint8_t* rows =
        p->src->rows_at(lo, hi - lo, mine.window.bytes, stride, s);
    if (rows == nullptr) return s;
    return p->compute(rows, stride, lo, hi, r0, r1, mine, 1)
               ? status::ok
               : status::no_memory;
  }

  static void part(void* self, std::uint32_t k) {
    auto& s = *static_cast<parallel_bands*>(self);
    band_buffers& mine = s.buffers[k];
    for (;;) {
      const std::uint32_t b = s.next.fetch_add(1);
      if (b >= s.bands) return;
      if (s.failure.load() == 0) {
        const status computed = s.band(b, mine);
        if (computed != status::ok) s.fail(computed);
      }
      for (std::uint32_t w = s.written.load(); w != b; w = s.written.load()) {
        s.written.wait(w);
      }
      if (s.failure.load() == 0) {
        const std::uint32_t r0 = b * s.p->band;
        const status put =
            s.p->sink->put_packed(mine.packed.bytes, s.p->band_end(r0) - r0);
        if (put != status::ok) s.fail(put);
      }
      s.written.store(b + 1);
      s.written.notify_all();
    }
  }
};

// Sources decoded in order (PNG, JPEG): with a thread to spare, the next
// window is decoded while this band is computed, packed and written.
struct overlapped_step {
  const pipeline* p;
  band_buffers* b;
  std::size_t row_bytes;
  unsigned kernel_threads;
  const row_window* current = nullptr;
  row_window* next = nullptr;
  std::uint32_t r0 = 0, r1 = 0;    // rows of this band
  std::uint32_t from = 0, to = 0;  // rows of the next window
  status computed = status::ok;
  status read = status::ok;

  static void part(void* self, std::uint32_t k) {
    auto& s = *static_cast<overlapped_step*>(self);
    if (k == 0) {
      if (s.next != nullptr) {
        s.read =
            s.next->follow(s.current, s.from, s.to, s.row_bytes, *s.p->src);
      }
      return;
    }
    const row_window& w = *s.current;
    s.computed = !s.p->compute(w.rows, static_cast<std::ptrdiff_t>(s.row_bytes),
                               w.lo, w.hi, s.r0, s.r1, *s.b, s.kernel_threads)
                     ? status::no_memory
                     : s.p->sink->put_packed(s.b->packed.bytes, s.r1 - s.r0);
  }
};

status run_parallel(const pipeline& p, unsigned threads,
                    std::uint64_t window_bytes) noexcept {
  const std::uint32_t bands = (p.height - 1) / p.band + 1;
  std::uint32_t workers = threads == 0 ? processor_count() : threads;
  if (workers > bands) workers = bands;
  if (workers > 64) workers = 64;
  band_buffers buffers[64];
  for (std::uint32_t k = 0; k < workers; ++k) {
    if (!buffers[k].allocate(window_bytes,
                             static_cast<std::uint64_t>(p.band) * p.width,
                             p.sink->packed_bytes(p.band))) {
      return status::no_memory;
    }
  }
  parallel_bands step{&p, buffers, bands};
  run_parts(workers, parallel_bands::part, &step);
  return static_cast<status>(step.failure.load());
}

status run_overlapped(const pipeline& p, unsigned threads,
                      std::size_t row_bytes,
                      std::uint64_t window_bytes) noexcept {
  malloc_buffer second_window;
  band_buffers b;
  if (!b.allocate(window_bytes, static_cast<std::uint64_t>(p.band) * p.width,
                  p.sink->packed_bytes(p.band)) ||
      !second_window.allocate(window_bytes)) {
    return status::no_memory;
  }
  row_window w[2] = {{b.window.bytes}, {second_window.bytes}};
  const std::uint32_t height = p.height;
  status s = w[0].follow(nullptr, 0, p.band < height ? p.band + 1 : height,
                         row_bytes, *p.src);
  if (s != status::ok) return s;
  const bool overlap = threads != 1 && processor_count() > 1 && p.band < height;
  overlapped_step step{&p, &b, row_bytes, overlap ? 1u : threads};
  int current = 0;
  for (std::uint32_t r0 = 0; r0 < height;) {
    const std::uint32_t r1 = p.band_end(r0);
    step.current = &w[current];
    step.next = nullptr;
    step.r0 = r0;
    step.r1 = r1;
    if (r1 < height) {
      const std::uint32_t r2 = p.band_end(r1);
      step.next = &w[1 - current];
      step.from = r1 - 1;
      step.to = r2 == height ? height : r2 + 1;
    }
    if (overlap && step.next != nullptr) {
      run_parts(2, overlapped_step::part, &step);
    } else {
      overlapped_step::part(&step, 1);
      overlapped_step::part(&step, 0);
    }
    if (step.computed != status::ok) return step.computed;
    if (step.read != status::ok) return step.read;
    current = 1 - current;
    r0 = r1;
  }
  return status::ok;
}

status run_pipeline(image_source& src, edge_sink& sink,
                    const transcode_options& options) noexcept {
  const bool wanted = sink.wants_bottom_first();
  if (src.bottom_first() != wanted) (void)src.deliver_bottom_first(wanted);
  const std::uint32_t width = src.width();
  const std::uint32_t height = src.height();
  status s = sink.begin(width, height, src.bottom_first());
  if (s != status::ok || width == 0 || height == 0) {
    return s == status::ok ? sink.finish() : s;
  }
  const std::uint64_t row_bytes =
      static_cast<std::uint64_t>(width) * src.bytes_per_pixel();
  std::uint64_t per_band = band_source_bytes / row_bytes;
  per_band = per_band == 0 ? 1 : per_band < height ? per_band : height;
  const std::uint64_t buffer_stride =
      src.random_access() ? src.buffer_stride() : row_bytes;
  if (buffer_stride > SIZE_MAX / (per_band + 2) / 2 ||
      per_band * width > SIZE_MAX / 2) {
    return status::no_memory;
  }
  const std::uint64_t window_bytes = (per_band + 2) * buffer_stride;
  const pipeline p{&src,  &sink,  options.threshold,
                   width, height, static_cast<std::uint32_t>(per_band)};
  s = src.random_access()
          ? run_parallel(p, options.threads, window_bytes)
          : run_overlapped(p, options.threads,
                           static_cast<std::size_t>(row_bytes), window_bytes);
  return s == status::ok ? sink.finish() : s;
}

bool has_extension(const char* name, const char* ext) noexcept {
  const char* dot = nullptr;
  for (const char* p = name; *p != '\0'; ++p) {
    if (*p == '.') dot = p;
    if (*p == '/' || *p == '\\') dot = nullptr;
  }
  if (dot == nullptr) return false;
  const char* e = dot + 1;
  for (; *ext != '\0'; ++e, ++ext) {
    const char c = *e >= 'A' && *e <= 'Z' ? static_cast<char>(*e + 32) : *e;
    if (c != *ext) return false;
  }
  return *e == '\0';
}

status open_source_of(image_kind kind, const source_bytes& in,
                      std::uint64_t max_pixels,
                      std::unique_ptr<image_source>& out) noexcept {
  switch (kind) {
    case image_kind::bmp:
      return open_bmp_source(in, max_pixels, out);
#if EDGEMAP_HAS_CODECS
    case image_kind::png:
      return open_png_source(in, max_pixels, out);
    case image_kind::jpeg:
      return open_jpeg_source(in, max_pixels, out);
#endif
    default:
      return status::unsupported;
  }
}

std::unique_ptr<edge_sink> make_sink(target_format format, unsigned bits,
                                     byte_output& out) noexcept {
  if (format == target_format::bmp) {
    return make_bmp_sink(out, bits == 0 ? 24 : bits);
  }
#if EDGEMAP_HAS_CODECS
  return make_png_sink(out, bits == 0 ? 1 : bits);
#else
  return nullptr;
#endif
}

// The edge map of an opened source, through a sink of the target's
// format onto out.
status encode(image_kind kind, const source_bytes& in, target_format format,
              const transcode_options& options, byte_output& out) noexcept {
  std::unique_ptr<image_source> src;
  const status opened = open_source_of(kind, in, options.max_pixels, src);
  if (opened != status::ok) return opened;
  const std::unique_ptr<edge_sink> sink = make_sink(format, options.bits, out);
  if (!sink) {
    return format == target_format::png ? status::unsupported
                                        : status::no_memory;
  }
  return run_pipeline(*src, *sink, options);
}

// Judges a legacy conversion's source by the pixel limit alone; every other
// check is the legacy conversion's, in its order.
bool bitmap_within_limit(const source_bytes& in,
                         std::uint64_t max_pixels) noexcept {
  std::unique_ptr<image_source> src;
  return open_bmp_source(in, max_pixels, src) != status::pixel_limit;
}

transcoded reported(const conversion& c) noexcept {
  return {c.load != status::ok ? c.load : c.save, c.error};
}

// Writes the edge map of `in` to dest through a target_file.
transcoded transcode_to(image_kind kind, const source_bytes& in,
                        target_format format, const destination& dest,
                        const transcode_options& options,
                        file_ptr* source_stream) noexcept {
  target_file t;
  if (dest.stream != nullptr) {
    t.adopt(dest.stream);
  } else if (!t.open(dest.path)) {
    return {status::open_target, t.error()};
  }
  byte_output out(&t);
  const status s = encode(kind, in, format, options, out);
  if (s != status::ok) {
    const int why = s == status::write ? t.error() : 0;
    t.abandon();
    return {s, why};
  }
  // Windows renames nothing over an open file, and the source may be it.
  if (source_stream != nullptr) source_stream->reset();
  if (!t.commit()) return {status::write, t.error()};
  return {};
}

}  // namespace

image_kind sniff_image(const std::uint8_t* head, std::size_t size) noexcept {
  static constexpr std::uint8_t png[] = {0x89, 'P',  'N',  'G',
                                         '\r', '\n', 0x1a, '\n'};
  if (size >= sizeof png && std::memcmp(head, png, sizeof png) == 0) {
    return image_kind::png;
  }
  if (size >= 3 && head[0] == 0xff && head[1] == 0xd8 && head[2] == 0xff) {
    return image_kind::jpeg;
  }
  return image_kind::bmp;
}

target_format resolve_format(target_format format, const char* target_name,
                             image_kind source) noexcept {
  if (format != target_format::automatic) return format;
  if (target_name != nullptr) {
    if (has_extension(target_name, "png")) return target_format::png;
    if (has_extension(target_name, "bmp")) return target_format::bmp;
  }
  return source == image_kind::bmp ? target_format::bmp : target_format::png;
}

bool valid_bits(target_format format, unsigned bits) noexcept {
  switch (format) {
    case target_format::bmp:
      return bits == 0 || bits == 1 || bits == 8 || bits == 24;
    case target_format::png:
      return bits == 0 || bits == 1 || bits == 8;
    default:
      return bits == 0;
  }
}

transcoded transcode_file(const char* source, const destination& target,
                          const transcode_options& options) noexcept {
  file_ptr in(open_source(source));
  if (!in) return {status::open_source, errno};
  std::uint8_t head[sniff_bytes] = {};
  const std::size_t got = std::fread(head, 1, sizeof head, in.get());
  const image_kind kind = sniff_image(head, got);
  const target_format format = resolve_format(
      options.format, target.stream != nullptr ? nullptr : target.path, kind);
  if (!valid_bits(format, options.bits)) return {status::argument, 0};
  const auto size = stream_size(in.get());  // and back to the start
  const source_bytes bytes{nullptr, 0, in.get(), size ? *size : 0};
  if (is_legacy_conversion(kind, format, options.bits)) {
    const bool within = !size || bitmap_within_limit(bytes, options.max_pixels);
    in.reset();
    if (!within) return {status::pixel_limit, 0};
    return reported(convert_file(source, target, options.threshold,
                                 options.threads,
                                 on_refused_source::keep_target));
  }
  if (!size) return {status::header, 0};
  return transcode_to(kind, bytes, format, target, options, &in);
}

transcoded transcode_bytes(const std::uint8_t* image, std::size_t size,
                           const destination& target,
                           const transcode_options& options) noexcept {
  const image_kind kind = sniff_image(image, size);
  const target_format format = resolve_format(
      options.format, target.stream != nullptr ? nullptr : target.path, kind);
  if (!valid_bits(format, options.bits)) return {status::argument, 0};
  const source_bytes bytes{image, size};
  if (is_legacy_conversion(kind, format, options.bits)) {
    if (!bitmap_within_limit(bytes, options.max_pixels)) {
      return {status::pixel_limit, 0};
    }
    return reported(convert_bytes(image, size, target, options.threshold,
                                  options.threads,
                                  on_refused_source::keep_target));
  }
  return transcode_to(kind, bytes, format, target, options, nullptr);
}

status transcode_to_memory(const std::uint8_t* image, std::size_t size,
                           void** out, std::size_t* out_size,
                           const transcode_options& options) noexcept {
  *out = nullptr;
  *out_size = 0;
  const image_kind kind = sniff_image(image, size);
  const target_format format = resolve_format(options.format, nullptr, kind);
  if (!valid_bits(format, options.bits)) return status::argument;
  const source_bytes bytes{image, size};
  if (is_legacy_conversion(kind, format, options.bits)) {
    if (!bitmap_within_limit(bytes, options.max_pixels)) {
      return status::pixel_limit;
    }
    return convert_to_memory(image, size, out, out_size, options.threshold,
                             options.threads);
  }
  byte_output memory;
  const status s = encode(kind, bytes, format, options, memory);
  if (s != status::ok) return s;
  if (memory.failed()) return status::no_memory;
  *out = memory.release(*out_size);
  return status::ok;
}

}  // namespace edgemap
