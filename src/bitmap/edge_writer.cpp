// The target's pixel array, computed and written a band of rows at a time:
// the memory it takes is a few MiB whatever the image's size, and the
// band stays in the cache between being computed and being written.
#include <cstring>

#include "bitmap/bitmap_io.h"
#include "edges/detect_edges.h"
#include "edges/worker_pool.h"

namespace edgemap {
namespace {

// Rows [lo, hi) of a source read from a stream, row lo at the start of
// the window. Bands move down the image, and the window of the next band
// starts with the two rows it shares with the last one.
class streamed_rows {
 public:
  streamed_rows(std::FILE* f, std::uint8_t* window, const bitmap_layout& l)
      : f_(f), window_(window), l_(l) {}

  // Makes rows [from, to) available: those the window `last` holds (this
  // one or another; none at the start) are copied from it, the others read
  // from the stream, which stands right after last's rows. Reads nothing
  // but `last` and the stream, so that the rows of `last` may be used at
  // the same time. False when the stream ends early (the file shrank).
  bool follow(const streamed_rows* last, std::uint32_t from,
              std::uint32_t to) noexcept {
    const std::size_t stride = l_.stride;
    std::uint32_t kept = 0;
    if (last != nullptr && last->hi_ > from) {
      kept = last->hi_ - from;
      const std::uint8_t* shared = last->window_ + (from - last->lo_) * stride;
      if (shared != window_) std::memmove(window_, shared, kept * stride);
    }
    lo_ = from;
    std::uint8_t* const fresh = window_ + kept * stride;
    const std::size_t bytes = (to - from - kept) * stride;
    // The last row's padding may be missing from the file.
    const std::size_t required =
        bytes - (to == l_.height ? l_.stride - l_.row_bytes() : 0);
    const std::size_t got = bytes == 0 ? 0 : std::fread(fresh, 1, bytes, f_);
    if (got < required) {
      return false;
    }
    std::memset(fresh + got, 0, bytes - got);
    hi_ = to;
    return true;
  }

  const std::uint8_t* rows() const noexcept { return window_; }
  std::uint32_t lo() const noexcept { return lo_; }
  std::uint32_t hi() const noexcept { return hi_; }

 private:
  std::FILE* f_;
  std::uint8_t* window_;
  const bitmap_layout& l_;
  std::uint32_t lo_ = 0;
  std::uint32_t hi_ = 0;
};

// Computes rows [r0, r1) of the target into `out` from the source rows
// `src` holds (row `src_first` of the image at its start, `src_rows` of
// them), zeroes their padding and writes them.
struct band_job {
  target_file* target;
  const bitmap_layout* l;
  std::uint8_t* out;
  double threshold;
  unsigned threads;
  const std::uint8_t* src = nullptr;
  std::uint32_t src_first = 0;
  std::uint32_t src_rows = 0;
  std::uint32_t r0 = 0;
  std::uint32_t r1 = 0;
  bool edges = true;
  bool ok = true;  // false: no scratch memory

  void run() noexcept {
    const std::size_t stride = l->stride;
    const std::uint32_t n = r1 - r0;
    if (!edges) {
      std::memset(out, 0, n * stride);
    } else {
      // The window's rows as an image, of which rows [r0, r1) are computed.
      pixel_view v = whole_picture(src, out, l->width, src_rows,
                                   static_cast<std::ptrdiff_t>(stride),
                                   l->bytes_per_pixel);
      v.first_row = r0 - src_first;
      v.last_row = v.first_row + n;
      ok = detect_edges_rows(v, threshold, threads);
      if (!ok) return;
      zero_row_padding(out, n, *l);
    }
    target->write(out, n * stride);
  }
};

// One step of a streamed conversion on two threads: this band computed and
// written while the next band's rows are read into the other window.
struct overlapped_step {
  band_job* band;
  streamed_rows* next;
  const streamed_rows* current;
  std::uint32_t from, to;
  bool read_ok = true;

  static void part(void* self, std::uint32_t k) {
    auto& s = *static_cast<overlapped_step*>(self);
    if (k == 0) {
      s.read_ok = s.next->follow(s.current, s.from, s.to);
    } else {
      s.band->run();
    }
  }
};

}  // namespace

std::uint32_t band_rows(std::uint32_t stride, std::uint32_t height) noexcept {
  std::uint32_t rows = stride == 0 ? band_bytes : band_bytes / stride;
  rows = rows < height ? rows : height;
  return rows == 0 ? 1 : rows;
}

status write_edge_map(target_file& target, const std::uint8_t* header,
                      const bitmap_layout& l, const row_source& rows,
                      bool edges, double threshold, unsigned threads,
                      pixel_buffer& band) noexcept {
  target.write(header, header_size);
  if (l.pixel_bytes == 0) {
    return status::ok;
  }
  const std::uint32_t per_band = band_rows(l.stride, l.height);
  const std::size_t stride = l.stride;
  const std::size_t window_bytes = (std::size_t{per_band} + 2) * stride;
  const bool streamed = edges && rows.pixels == nullptr;
  if (!band.reserve(std::size_t{per_band} * stride) ||
      (streamed && (!rows.window->reserve(window_bytes) ||
                    !rows.next_window->reserve(window_bytes)))) {
    return status::no_memory;
  }
  // Two windows take turns; with a thread to spare, the next band's rows
  // are read while this band is computed and written, so the source's copy
  // out of the page cache costs no time of its own.
  streamed_rows windows[2] = {
      {rows.stream, streamed ? rows.window->get() : nullptr, l},
      {rows.stream, streamed ? rows.next_window->get() : nullptr, l}};
  const bool overlap =
      streamed && threads != 1 && processor_count() > 1 && per_band < l.height;
  int current = 0;
  if (streamed &&
      !windows[0].follow(nullptr, 0,
                         per_band < l.height ? per_band + 1 : l.height)) {
    return status::truncated;
  }
  band_job job{&target, &l, band.get(), threshold, overlap ? 1u : threads};
  job.edges = edges;
  for (std::uint32_t r0 = 0; r0 < l.height && !target.failed();) {
    const std::uint32_t n = l.height - r0 < per_band ? l.height - r0 : per_band;
    const std::uint32_t r1 = r0 + n;
    job.r0 = r0;
    job.r1 = r1;
    if (streamed) {
      job.src = windows[current].rows();
      job.src_first = windows[current].lo();
      job.src_rows = windows[current].hi() - windows[current].lo();
    } else {
      job.src = rows.pixels;
      job.src_rows = l.height;
    }
    bool read_ok = true;
    if (streamed && r1 < l.height) {
      const std::uint32_t r2 =
          l.height - r1 < per_band ? l.height : r1 + per_band;
      overlapped_step step{&job, &windows[1 - current], &windows[current],
                           r1 - 1, r2 == l.height ? l.height : r2 + 1};
      if (overlap) {
        run_parts(2, overlapped_step::part, &step);
      } else {
        overlapped_step::part(&step, 1);
        overlapped_step::part(&step, 0);
      }
      read_ok = step.read_ok;
      current = 1 - current;
    } else {
      job.run();
    }
    if (!job.ok) return status::no_memory;
    if (!read_ok) return status::truncated;
    r0 = r1;
  }
  return status::ok;
}

}  // namespace edgemap
