// The transcoder: a source's rows decoded a band at a time into a window
// that also holds the row above and the row below the band, the band's
// edge mask computed by the selected kernel, and the mask rows encoded.
// With a thread to spare, the next band is decoded while this one is
// computed and encoded, so decoding, the slowest step, sets the pace.
#include "pipeline/transcode.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "bitmap/bitmap_header.h"
#include "core/free_list.h"
#include "core/pixel_buffer.h"
#include "core/worker_pool.h"
#include "edges/detect_edges.h"
#include "pipeline/edge_sink.h"
#include "pipeline/image_source.h"
#include "platform/files.h"

namespace edgemap {
namespace {

// Source bytes per band: the window stays in the cache between being
// decoded and being read by the kernel. The legacy bitmap, whose rows the
// kernel writes whole and the sink only passes on, takes bands twice that
// size, as the 1.1 writer did: half as many reads and writes, measured a
// few per cent faster on a 4000 x 3000 bitmap.
constexpr std::size_t band_source_bytes = static_cast<std::size_t>(1) << 20;
constexpr std::size_t picture_band_bytes = static_cast<std::size_t>(2) << 20;

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
// with a row above and below; a second one where the next band is decoded
// meanwhile), its mask, and the mask packed.
struct band_buffers {
  pixel_buffer window;
  pixel_buffer next_window;
  pixel_buffer mask;
  pixel_buffer packed;

  bool allocate(std::uint64_t window_bytes, std::uint64_t mask_bytes,
                std::uint64_t packed_bytes) noexcept {
    return fits(window_bytes) && fits(mask_bytes) && fits(packed_bytes) &&
           window.reserve(static_cast<std::size_t>(window_bytes)) &&
           mask.reserve(static_cast<std::size_t>(mask_bytes)) &&
           packed.reserve(static_cast<std::size_t>(packed_bytes));
  }
  static bool fits(std::uint64_t bytes) noexcept { return bytes <= SIZE_MAX; }
};

// Sets of band buffers for the length of one conversion, handed on to the
// next one instead of freed (free_list.h): a batch of many images takes
// its page faults once.
class borrowed_bands {
 public:
  borrowed_bands() noexcept = default;
  borrowed_bands(const borrowed_bands&) = delete;
  borrowed_bands& operator=(const borrowed_bands&) = delete;
  ~borrowed_bands() {
    // As many sets as there are processors to use them; the rest freed.
    const std::size_t keep = 2 * std::size_t{processor_count()};
    for (std::uint32_t k = 0; k < count_; ++k) {
      free_list<band_buffers>::instance().give_back(sets_[k], keep);
    }
  }
  // Sets [0, n) taken; false when memory ran out.
  bool take(std::uint32_t n) noexcept {
    for (; count_ < n; ++count_) {
      sets_[count_] = free_list<band_buffers>::instance().take();
      if (sets_[count_] == nullptr) return false;
    }
    return true;
  }
  band_buffers& operator[](std::uint32_t k) const noexcept { return *sets_[k]; }

  static constexpr std::uint32_t most = 64;

 private:
  band_buffers* sets_[most] = {};
  std::uint32_t count_ = 0;
};

// What every band of one conversion shares.
struct band_plan {
  image_source* src;
  edge_sink* sink;
  double threshold;
  std::uint32_t width, height, band;

  std::uint32_t band_end(std::uint32_t r0) const noexcept {
    return height - r0 < band ? height : r0 + band;
  }

  // Rows [r0, r1) of the edge map from source rows [lo, ...) at rows,
  // stride apart, packed into b.packed: through the mask, or written there
  // by the kernel for a sink that takes pictures.
  bool compute(const std::uint8_t* rows, std::ptrdiff_t stride,
               std::uint32_t lo, std::uint32_t hi, std::uint32_t r0,
               std::uint32_t r1, band_buffers& b,
               unsigned threads) const noexcept {
    const bool picture = sink->takes_picture();
    std::uint8_t* const out = picture ? b.packed.get() : b.mask.get();
    const std::size_t out_stride = picture ? sink->packed_bytes(1) : width;
    pixel_view v =
        whole_image(rows, stride, out, static_cast<std::ptrdiff_t>(out_stride),
                    width, hi - lo, src->bytes_per_pixel(),
                    picture ? edge_output::picture : edge_output::mask);
    v.first_row = r0 - lo;
    v.last_row = r1 - lo;
    if (!detect_edges_rows(v, threshold, threads)) return false;
    sink->pack(out, out_stride, r1 - r0, b.packed.get());
    return true;
  }

  // Bytes of one band's mask: none where the kernel writes the packed rows.
  std::uint64_t mask_bytes() const noexcept {
    return sink->takes_picture() ? 0 : std::uint64_t{band} * width;
  }
};

// Sources that give any rows at any time, from any thread (bitmaps): each
// worker takes the next band, reads its rows, computes and packs its mask,
// then waits for the band before it to be written and writes its own. A
// band is taken only after every band before it was taken by a worker that
// is running, so the wait always ends, also when one thread ends up running
// every part.
struct parallel_bands {
  const band_plan* p;
  const borrowed_bands* buffers;
  std::uint32_t bands;
  // Threads each band's kernel may use: all of them where one worker
  // takes every band (an image of one band), else one.
  unsigned kernel_threads;
  std::atomic<std::uint32_t> next{0};
  std::atomic<int> failure{0};  // the first failure's status
  // Bands written so far. A mutex and a condition rather than the atomic's
  // own wait: libstdc++ 12 builds that wait without futexes (MinGW) can
  // miss a notification, and a worker would wait for ever.
  std::mutex turn{};
  std::condition_variable turn_changed{};
  std::uint32_t written = 0;

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
        p->src->rows_at(lo, hi - lo, mine.window.get(), stride, s);
    if (rows == nullptr) return s;
    return p->compute(rows, stride, lo, hi, r0, r1, mine, kernel_threads)
               ? status::ok
               : status::no_memory;
  }

  static void part(void* self, std::uint32_t k) {
    auto& s = *static_cast<parallel_bands*>(self);
    band_buffers& mine = (*s.buffers)[k];
    for (;;) {
      const std::uint32_t b = s.next.fetch_add(1);
      if (b >= s.bands) return;
      if (s.failure.load() == 0) {
        const status computed = s.band(b, mine);
        if (computed != status::ok) s.fail(computed);
      }
      {
        std::unique_lock<std::mutex> lock(s.turn);
        s.turn_changed.wait(lock, [&] { return s.written == b; });
      }
      if (s.failure.load() == 0) {
        const std::uint32_t r0 = b * s.p->band;
        const status put =
            s.p->sink->put_packed(mine.packed.get(), s.p->band_end(r0) - r0);
        if (put != status::ok) s.fail(put);
      }
      {
        const std::lock_guard<std::mutex> lock(s.turn);
        s.written = b + 1;
      }
      s.turn_changed.notify_all();
    }
  }
};

// Sources decoded in order (PNG, JPEG): with a thread to spare, the next
// window is decoded while this band is computed, packed and written.
struct overlapped_step {
  const band_plan* p;
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
                     : s.p->sink->put_packed(s.b->packed.get(), s.r1 - s.r0);
  }
};

status run_parallel(const band_plan& p, unsigned threads,
                    std::uint64_t window_bytes) noexcept {
  const std::uint32_t bands = (p.height - 1) / p.band + 1;
  std::uint32_t workers = threads == 0 ? processor_count() : threads;
  if (workers > bands) workers = bands;
  if (workers > borrowed_bands::most) workers = borrowed_bands::most;
  borrowed_bands buffers;
  if (!buffers.take(workers)) return status::no_memory;
  for (std::uint32_t k = 0; k < workers; ++k) {
    if (!buffers[k].allocate(window_bytes, p.mask_bytes(),
                             p.sink->packed_bytes(p.band))) {
      return status::no_memory;
    }
  }
  parallel_bands step{&p, &buffers, bands, workers == 1 ? threads : 1u};
  run_parts(workers, parallel_bands::part, &step);
  return static_cast<status>(step.failure.load());
}

status run_overlapped(const band_plan& p, unsigned threads,
                      std::size_t row_bytes,
                      std::uint64_t window_bytes) noexcept {
  borrowed_bands buffers;
  if (!buffers.take(1)) return status::no_memory;
  band_buffers& b = buffers[0];
  if (!b.allocate(window_bytes, p.mask_bytes(), p.sink->packed_bytes(p.band)) ||
      !b.next_window.reserve(static_cast<std::size_t>(window_bytes))) {
    return status::no_memory;
  }
  row_window w[2] = {{b.window.get()}, {b.next_window.get()}};
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

status run_bands(image_source& src, edge_sink& sink,
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
  std::uint64_t per_band =
      (sink.takes_picture() ? picture_band_bytes : band_source_bytes) /
      row_bytes;
  per_band = per_band == 0 ? 1 : per_band < height ? per_band : height;
  const std::uint64_t buffer_stride =
      src.random_access() ? src.buffer_stride() : row_bytes;
  if (buffer_stride > SIZE_MAX / (per_band + 2) / 2 ||
      per_band * width > SIZE_MAX / 2) {
    return status::no_memory;
  }
  const std::uint64_t window_bytes = (per_band + 2) * buffer_stride;
  const band_plan p{&src,  &sink,  options.threshold,
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

// What an open stream holds by its first bytes (read from where it stands).
image_kind sniff_stream(std::FILE* f) noexcept {
  std::uint8_t head[sniff_bytes] = {};
  const std::size_t got = std::fread(head, 1, sizeof head, f);
  return sniff_image(head, got);
}

// A source on its way through a conversion: its bytes, what they are, the
// file they come from (unknown for memory and standard input) and that
// file's stream, which the conversion closes before the target takes its
// place: Windows renames nothing over an open file, and the source may be
// that file.
struct conversion_source {
  source_bytes bytes;
  image_kind kind = image_kind::other;
  file_identity id;
  file_ptr file;
  malloc_buffer whole;  // the source held in memory, when it must be
  // Judged by the legacy rules whatever its depth (the 1.1 functions).
  bool legacy_only = false;

  // Reads the whole file into memory and serves the source from there.
  status hold_whole() noexcept {
    if (bytes.data != nullptr) return status::ok;
    const std::uint64_t size = bytes.stream_size;
    if (size > SIZE_MAX || !whole.allocate(size)) return status::no_memory;
    const auto n = static_cast<std::size_t>(size);
    if (!seek_to(file.get(), 0) ||
        std::fread(whole.bytes, 1, n, file.get()) != n) {
      return status::truncated;
    }
    bytes = source_bytes{whole.bytes, n};
    file.reset();
    return status::ok;
  }
};

// Opens the source; a bitmap by the legacy rules when `legacy` is given,
// which then gets its header fields.
status open_source_of(image_kind kind, const source_bytes& in,
                      std::uint64_t max_pixels,
                      std::unique_ptr<image_source>& out,
                      bitmap_layout* legacy) noexcept {
  switch (kind) {
    case image_kind::bmp:
      return legacy != nullptr ? open_bmp_source(in, max_pixels, out, legacy)
                               : open_any_bmp_source(in, max_pixels, out);
#if EDGEMAP_HAS_CODECS
    case image_kind::png:
      return open_png_source(in, max_pixels, out);
    case image_kind::jpeg:
      return open_jpeg_source(in, max_pixels, out);
    case image_kind::tiff:
      return open_tiff_source(in, max_pixels, out);
    case image_kind::webp:
      return open_webp_source(in, max_pixels, out);
#endif
    case image_kind::other:
      return status::not_image;
    default:
      return status::unsupported;
  }
}

std::unique_ptr<edge_sink> make_sink(target_format format, unsigned bits,
                                     const bitmap_layout* legacy,
                                     byte_output& out) noexcept {
  if (legacy != nullptr) return make_legacy_bmp_sink(out, *legacy);
  if (format == target_format::bmp) {
    return make_bmp_sink(out, bits == 0 ? 24 : bits);
  }
#if EDGEMAP_HAS_CODECS
  if (format == target_format::tiff) {
    return make_tiff_sink(out, bits == 0 ? 1 : bits);
  }
  return make_png_sink(out, bits == 0 ? 1 : bits);
#else
  return nullptr;
#endif
}

bool open_target(target_file& t, const destination& dest) noexcept {
  if (dest.stream != nullptr) {
    t.adopt(dest.stream);
    return true;
  }
  return t.open(dest.path);
}

// The target after a source that was refused: untouched, or emptied unless
// it is the source itself.
void settle_refused(conversion& c, const destination& dest,
                    const file_identity& source,
                    on_refused_source rule) noexcept {
  c.wrote_image = false;
  c.pixel_bytes = 0;
  if (rule == on_refused_source::keep_target || dest.memory) return;
  if (dest.stream == nullptr && identity_of_path(dest.path).same_as(source)) {
    c.save = status::open_target;
    return;
  }
  target_file t;
  if (!open_target(t, dest)) {
    c.save = status::open_target;
  } else if (!t.commit()) {
    c.save = status::write;
  }
  if (c.error == 0) c.error = t.error();
}

// The pixel limit a conversion applies: the default guards against
// compressed images that declare more pixels than they hold, which a
// bitmap to a bitmap never does (edgemap.h).
std::uint64_t pixel_limit(bool legacy,
                          const transcode_options& options) noexcept {
  return legacy && options.max_pixels == EDGEMAP_DEFAULT_MAX_PIXELS
             ? 0
             : options.max_pixels;
}

// What converting a source of that kind to dest is: the target's format,
// whether it is the legacy conversion, and so what a refused source does to
// the target (legacy_rule for the legacy conversion, else nothing).
struct conversion_plan {
  target_format format;
  bool legacy;
  on_refused_source rule;
};
conversion_plan plan_for(image_kind source, const destination& dest,
                         const transcode_options& options,
                         on_refused_source legacy_rule) noexcept {
  const target_format format =
      resolve_format(options.format, dest.name(), source);
  const bool legacy = is_legacy_conversion(source, format, options.bits);
  return {format, legacy,
          legacy ? legacy_rule : on_refused_source::keep_target};
}

// A source refused before its first bytes could be read (it cannot be
// opened or measured): judged as the legacy conversion judges any source,
// as a bitmap, which decides whether the legacy rule for the target holds.
conversion refused_unread(status why, int error, const file_identity& source,
                          const destination& dest,
                          const transcode_options& options,
                          on_refused_source legacy_rule) noexcept {
  conversion c;
  c.load = why;
  c.error = error;
  const conversion_plan plan =
      plan_for(image_kind::other, dest, options, legacy_rule);
  c.legacy = plan.legacy;
  settle_refused(c, dest, source, plan.rule);
  return c;
}

// The one way from a source to a target: the source judged by its header
// (format, depth, pixel limit) before the target is opened, the target
// replaced whole, or written in place only where its folder refuses a new
// file, and then never over the source while it is still being read. A
// refused source leaves the target as it was, or, for the legacy
// conversion, as legacy_rule says.
conversion convert_source(conversion_source& in, const destination& dest,
                          const transcode_options& options,
                          on_refused_source legacy_rule) noexcept {
  conversion c;
  const conversion_plan plan = plan_for(in.kind, dest, options, legacy_rule);
  const target_format format = plan.format;
  if (!valid_bits(format, options.bits)) {
    c.load = status::argument;
    return c;
  }
  bool legacy = plan.legacy;
  on_refused_source rule = plan.rule;
  std::uint64_t limit = pixel_limit(legacy, options);
  bitmap_layout layout;
  std::unique_ptr<image_source> src;
  const image_kind kind = legacy ? image_kind::bmp : in.kind;
  c.load =
      open_source_of(kind, in.bytes, limit, src, legacy ? &layout : nullptr);
  if (legacy && c.load == status::bit_count && !in.legacy_only &&
      in.kind == image_kind::bmp) {
    // A bitmap of fewer than 24 bits: read as any other source would be,
    // where its depth is one there is; else it stays the legacy
    // conversion's to refuse, with its lines.
    const std::uint64_t any_limit = pixel_limit(false, options);
    const status any = open_source_of(kind, in.bytes, any_limit, src, nullptr);
    if (any != status::bit_count && any != status::unsupported) {
      legacy = false;
      rule = on_refused_source::keep_target;
      limit = any_limit;
      c.load = any;
    }
  }
  c.legacy = legacy;
  if (c.load != status::ok) {
    settle_refused(c, dest, in.id, rule);
    return c;
  }
  target_file t;
  if (!dest.memory && !open_target(t, dest)) {
    c.save = status::open_target;
    c.error = t.error();
    return c;
  }
  if (t.in_place() && in.id.known && t.identity().same_as(in.id)) {
    // Written in place, the target would overwrite the rows still to be
    // read: the source is read whole first, as the legacy library always
    // read it.
    src.reset();
    c.load = in.hold_whole();
    if (c.load == status::ok) {
      c.load = open_source_of(kind, in.bytes, limit, src,
                              legacy ? &layout : nullptr);
    }
    if (c.load != status::ok) {
      t.abandon();
      settle_refused(c, dest, in.id, rule);
      return c;
    }
  }
  byte_output out(dest.memory ? nullptr : &t);
  std::unique_ptr<edge_sink> sink =
      make_sink(format, options.bits, legacy ? &layout : nullptr, out);
  // A bitmap has no orientation to apply, and the legacy bytes none.
  if (sink && options.orient && !legacy) {
    sink = make_oriented_sink(std::move(sink), *src);
  }
  status s = sink ? status::ok
             : format == target_format::bmp || EDGEMAP_HAS_CODECS
                 ? status::no_memory
                 : status::unsupported;
  if (s == status::ok) s = run_bands(*src, *sink, options);
  c.wrote_image = legacy;
  c.pixel_bytes = legacy ? layout.pixel_bytes : 0;
  if (dest.memory) {
    // Memory that runs out is no write failure.
    if (s == status::ok && out.failed()) s = status::no_memory;
    if (s == status::write) s = status::no_memory;
    c.load = s;
    if (s == status::ok) c.memory = out.release(c.memory_size);
    return c;
  }
  if (s == status::write) {
    c.save = s;
    c.error = t.error();
    t.abandon();
    return c;
  }
  if (s != status::ok) {
    // The source ended early, or memory ran out: as a refused source.
    t.abandon();
    c.load = s;
    settle_refused(c, dest, in.id, rule);
    return c;
  }
  src.reset();
  in.file.reset();
  c.save = t.commit() ? status::ok : status::write;
  c.error = t.error();
  return c;
}

// Reads the rest of a TIFF stream into out, which holds its first bytes.
// A TIFF's directory may follow its pixels, so nothing tells its size
// before the end: the bytes are bounded by what the pixel limit allows an
// image to take uncompressed (four 16-bit samples a pixel) and a little
// more, else an endless stream would take all the memory there is. Throws
// std::bad_alloc.
status read_whole_tiff(std::FILE* in, std::vector<std::uint8_t>& out,
                       std::uint64_t max_pixels) {
  constexpr std::size_t chunk = std::size_t{1} << 20;
  const std::uint64_t bound =
      max_pixels == 0 || max_pixels > (UINT64_MAX - chunk) / 8
          ? UINT64_MAX
          : max_pixels * 8 + chunk;
  for (;;) {
    const std::size_t at = out.size();
    if (at >= bound) return status::pixel_limit;
    out.resize(at + chunk);
    const std::size_t got = std::fread(out.data() + at, 1, chunk, in);
    out.resize(at + got);
    if (got < chunk) break;
  }
  return std::ferror(in) == 0 ? status::ok : status::open_source;
}

// The file at source to target; as_bitmap: judged by the bitmap rules
// whatever its first bytes (the legacy conversion).
conversion convert_path(const char* source, const destination& target,
                        const transcode_options& options,
                        on_refused_source legacy_rule,
                        bool as_bitmap) noexcept {
  conversion_source in;
  in.file.reset(open_source(source));
  if (!in.file) {
    // A file that cannot be read (chmod 200) still has an identity: its
    // name may be the target's too, which must then stay as it is.
    return refused_unread(status::open_source, errno, identity_of_path(source),
                          target, options, legacy_rule);
  }
  in.id = identity_of(in.file.get());
  in.kind = as_bitmap ? image_kind::bmp : sniff_stream(in.file.get());
  in.legacy_only = as_bitmap;
  const auto size = stream_size(in.file.get());  // and back to the start
  if (!size) {
    return refused_unread(status::header, 0, in.id, target, options,
                          legacy_rule);
  }
  in.bytes = source_bytes{nullptr, 0, in.file.get(), *size};
  return convert_source(in, target, options, legacy_rule);
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
  if (size >= 4 && ((head[0] == 'I' && head[1] == 'I' && head[3] == 0 &&
                     (head[2] == 42 || head[2] == 43)) ||
                    (head[0] == 'M' && head[1] == 'M' && head[2] == 0 &&
                     (head[3] == 42 || head[3] == 43)))) {
    return image_kind::tiff;  // classic TIFF (42) or BigTIFF (43)
  }
  if (size >= 12 && std::memcmp(head, "RIFF", 4) == 0 &&
      std::memcmp(head + 8, "WEBP", 4) == 0) {
    return image_kind::webp;
  }
  if (size >= 2 && head[0] == 'B' && head[1] == 'M') return image_kind::bmp;
  return image_kind::other;
}

image_kind sniff_file(const char* path) noexcept {
  const file_ptr in(open_source(path));
  if (in) {
    // The few bytes asked for, not a buffer's worth.
    (void)std::setvbuf(in.get(), nullptr, _IONBF, 0);
    const image_kind kind = sniff_stream(in.get());
    if (std::ferror(in.get()) == 0) return kind;
  }
  if (path != nullptr && has_extension(path, "png")) return image_kind::png;
  if (path != nullptr &&
      (has_extension(path, "jpg") || has_extension(path, "jpeg"))) {
    return image_kind::jpeg;
  }
  if (path != nullptr &&
      (has_extension(path, "tif") || has_extension(path, "tiff"))) {
    return image_kind::tiff;
  }
  if (path != nullptr && has_extension(path, "webp")) return image_kind::webp;
  return image_kind::bmp;
}

target_format resolve_format(target_format format, const char* target_name,
                             image_kind source) noexcept {
  if (format != target_format::automatic) return format;
  if (target_name != nullptr) {
    for (const target_format f :
         {target_format::png, target_format::bmp, target_format::tiff}) {
      if (named_for(target_name, f)) return f;
    }
  }
  switch (source) {
    case image_kind::bmp:
    case image_kind::other:
      return target_format::bmp;
    case image_kind::tiff:
      return target_format::tiff;
    default:
      return target_format::png;
  }
}

bool is_image_name(const char* name) noexcept {
  for (const char* ext : {"bmp", "png", "jpg", "jpeg", "tif", "tiff", "webp"}) {
    if (has_extension(name, ext)) return true;
  }
  return false;
}

const char* format_extension(target_format format) noexcept {
  switch (format) {
    case target_format::png:
      return ".png";
    case target_format::tiff:
      return ".tif";
    default:
      return ".bmp";
  }
}

bool named_for(const char* name, target_format format) noexcept {
  switch (format) {
    case target_format::png:
      return has_extension(name, "png");
    case target_format::tiff:
      return has_extension(name, "tif") || has_extension(name, "tiff");
    default:
      return has_extension(name, "bmp");
  }
}

target_format format_to_name(target_format format, unsigned bits,
                             image_kind source) noexcept {
  if (format == target_format::automatic && bits == 24) {
    return target_format::bmp;
  }
  return resolve_format(format, nullptr, source);
}

bool valid_bits(target_format format, unsigned bits) noexcept {
  switch (format) {
    case target_format::bmp:
      return bits == 0 || bits == 1 || bits == 8 || bits == 24;
    case target_format::png:
    case target_format::tiff:
      return bits == 0 || bits == 1 || bits == 8;
    default:
      return bits == 0;
  }
}

conversion transcode_file(const char* source, const destination& target,
                          const transcode_options& options,
                          on_refused_source legacy_rule) noexcept {
  return convert_path(source, target, options, legacy_rule, false);
}

conversion transcode_bytes(const std::uint8_t* image, std::size_t size,
                           const destination& target,
                           const transcode_options& options,
                           on_refused_source legacy_rule) noexcept {
  conversion_source in;
  in.bytes = source_bytes{image, size};
  in.kind = sniff_image(image, size);
  return convert_source(in, target, options, legacy_rule);
}

conversion transcode_stream(std::FILE* stream, const destination& target,
                            const transcode_options& options,
                            on_refused_source legacy_rule) noexcept {
  std::uint8_t head[sniff_bytes] = {};
  const std::size_t got = std::fread(head, 1, sizeof head, stream);
  conversion c;
  if (std::ferror(stream) != 0) {
    c.load = status::open_source;
    c.error = errno;
    return c;
  }
  conversion_source in;
  in.kind = sniff_image(head, got);
  if (in.kind == image_kind::png || in.kind == image_kind::jpeg ||
      in.kind == image_kind::webp) {
    in.bytes.stream = stream;
    in.bytes.head = head;
    in.bytes.head_size = got;
    return convert_source(in, target, options, legacy_rule);
  }
  const conversion_plan plan = plan_for(in.kind, target, options, legacy_rule);
  const bool legacy = plan.legacy;
  const on_refused_source rule = plan.rule;
  c.legacy = legacy;
  try {
    std::vector<std::uint8_t> image(head, head + got);
    if (in.kind == image_kind::tiff) {
      // A TIFF may keep its header anywhere in the file: it is read whole.
      c.load = read_whole_tiff(stream, image, options.max_pixels);
    } else if (legacy || in.kind != image_kind::other) {
      // A source no conversion takes needs no more of its bytes read.
      c.load = read_declared_bitmap(stream, image, pixel_limit(legacy, options),
                                    options.max_pixels);
    }
    if (c.load == status::open_source) c.error = errno;
    if (c.load == status::pixel_limit) settle_refused(c, target, {}, rule);
    if (c.load != status::ok) return c;
    in.bytes = source_bytes{image.data(), image.size()};
    return convert_source(in, target, options, legacy_rule);
  } catch (const std::bad_alloc&) {
    c.load = status::no_memory;
    settle_refused(c, target, {}, rule);
    return c;
  }
}

namespace {

// The options of the legacy conversion: a BMP target at the source's own
// depth, no pixel limit.
transcode_options legacy_options(double threshold, unsigned threads) noexcept {
  transcode_options o;
  o.threshold = threshold;
  o.threads = threads;
  o.format = target_format::bmp;
  o.max_pixels = 0;
  return o;
}

}  // namespace

conversion convert_file(const char* source, const destination& target,
                        double threshold, unsigned threads,
                        on_refused_source rule) noexcept {
  return convert_path(source, target, legacy_options(threshold, threads), rule,
                      true);
}

conversion convert_bytes(const std::uint8_t* bitmap, std::size_t size,
                         const destination& target, double threshold,
                         unsigned threads, on_refused_source rule) noexcept {
  conversion_source in;
  in.bytes = source_bytes{bitmap, size};
  in.kind = image_kind::bmp;
  in.legacy_only = true;
  return convert_source(in, target, legacy_options(threshold, threads), rule);
}

status transcode_to_memory(const std::uint8_t* image, std::size_t size,
                           void** out, std::size_t* out_size,
                           const transcode_options& options) noexcept {
  destination memory;
  memory.memory = true;
  conversion c = transcode_bytes(image, size, memory, options);
  *out = c.memory;
  *out_size = c.memory_size;
  return c.failure();
}

status convert_to_memory(const std::uint8_t* bitmap, std::size_t size,
                         void** out, std::size_t* out_size, double threshold,
                         unsigned threads) noexcept {
  destination memory;
  memory.memory = true;
  conversion c = convert_bytes(bitmap, size, memory, threshold, threads,
                               on_refused_source::keep_target);
  *out = c.memory;
  *out_size = c.memory_size;
  return c.failure();
}

}  // namespace edgemap
