// Every compiled variant of the detector this processor can run, byte for
// byte against the double-precision reference; the threshold search.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <limits>
#include <random>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <pthread.h>
#endif

#include "edges/detect_edges.h"
#include "edges/edge_variants.h"
#include "test_support.h"

namespace edgemap {
namespace {

using test::bytes;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr std::uint32_t never = max_gradient_sum + 1;

// A source image with rows at the bitmap stride. Pad bytes and bytes past
// the third of a pixel are random too: no kernel may read them as gray.
struct image {
  std::uint32_t width, height, bpp, stride;
  bytes src;

  image(std::uint32_t w, std::uint32_t h, std::uint32_t bytes_per_pixel)
      : width(w),
        height(h),
        bpp(bytes_per_pixel),
        stride(test::stride_of(w, bytes_per_pixel)),
        src(std::size_t{stride} * h) {}

  std::uint8_t* pixel(std::uint32_t r, std::uint32_t c) {
    return src.data() + std::size_t{r} * stride + std::size_t{c} * bpp;
  }

  // What k writes over a target prefilled with 0x77: the kernels own the
  // first three bytes of each pixel and nothing else.
  bytes run(const edge_kernel& k, double threshold) const {
    bytes dst(src.size(), 0x77);
    const auto scratch = test::make_scratch();
    k.run(whole_image(src.data(), stride, dst.data(), stride, width, height,
                      bpp, edge_output::picture, scratch.get()),
          threshold);
    return dst;
  }
};

std::vector<const edge_kernel*> variants() {
  std::vector<const edge_kernel*> out;
  for (const edge_kernel& k : edge_kernels().subspan(1)) {
    if (k.supported()) out.push_back(&k);
  }
  return out;
}

const edge_kernel& reference() { return edge_kernels()[0]; }

// First differing pixel, for a readable failure.
std::string first_difference(const image& img, const bytes& want,
                             const bytes& got) {
  for (std::size_t i = 0; i < want.size(); ++i) {
    if (want[i] != got[i]) {
      return "byte " + std::to_string(i) + " (row " +
             std::to_string(i / img.stride) + ", column " +
             std::to_string(i % img.stride / img.bpp) + ") is " +
             std::to_string(got[i]) + ", not " + std::to_string(want[i]);
    }
  }
  return "identical";
}

void expect_all_match(const image& img, double threshold) {
  const bytes want = img.run(reference(), threshold);
  for (const edge_kernel* k : variants()) {
    const bytes got = img.run(*k, threshold);
    ASSERT_TRUE(got == want)
        << k->name << " on " << img.width << "x" << img.height << "x" << img.bpp
        << " at threshold " << threshold << ": "
        << first_difference(img, want, got);
  }
}

image random_image(std::uint32_t w, std::uint32_t h, std::uint32_t bpp,
                   std::mt19937& rng) {
  image img(w, h, bpp);
  // Half the images take only extreme bytes, for the largest gradients.
  const bool extremes = rng() % 2 == 0;
  for (auto& b : img.src) {
    const auto r = rng();
    b = static_cast<std::uint8_t>(extremes ? (r % 2 == 0 ? 0 : 255) : r);
  }
  return img;
}

// The fastest variant this processor runs, unless EDGEMAP_KERNEL names
// another it runs; ctest runs this once more with EDGEMAP_KERNEL=portable.
TEST(edge_kernels, selection_follows_the_processor_and_the_environment) {
  const edge_kernel* fastest = nullptr;
  const edge_kernel* wanted = nullptr;
  const char* name = std::getenv("EDGEMAP_KERNEL");
  for (const edge_kernel& k : edge_kernels()) {
    if (!k.supported()) continue;
    fastest = &k;
    if (name != nullptr && std::strcmp(name, k.name) == 0) wanted = &k;
  }
  ASSERT_NE(fastest, nullptr);
  // A name this processor cannot run would be ignored, and the choice
  // compared with the fastest: a forced run that forces nothing.
  ASSERT_TRUE(name == nullptr || wanted != nullptr)
      << "EDGEMAP_KERNEL=" << name << " names no kernel this processor runs";
  EXPECT_STREQ(selected_edge_kernel().name,
               (wanted != nullptr ? wanted : fastest)->name);
  EXPECT_STRNE(selected_edge_kernel().name, "reference");
  std::printf("selected kernel: %s\n", selected_edge_kernel().name);
}

// Every width up to 130 covers every tail of every vector length; widths
// around 4096 and 8192 cover the column strips.
TEST(edge_kernels, random_images_of_every_width_match_the_reference) {
  std::mt19937 rng(20240611);
  for (std::uint32_t bpp : {3u, 4u}) {
    for (std::uint32_t w = 1; w <= 130; ++w) {
      for (std::uint32_t h = 1; h <= 6; ++h) {
        expect_all_match(random_image(w, h, bpp, rng), 90.0);
        if (HasFatalFailure()) return;
      }
    }
    for (std::uint32_t w : {4095u, 4096u, 4097u, 8191u, 8192u, 8193u, 16411u}) {
      expect_all_match(random_image(w, 3, bpp, rng), 90.0);
      if (HasFatalFailure()) return;
    }
  }
  // Pixel sizes without a vector path (40 and 48 bits per pixel).
  for (std::uint32_t bpp : {5u, 6u}) {
    expect_all_match(random_image(37, 4, bpp, rng), 90.0);
  }
}

// How a kernel is called: the output, which way the rows run in memory,
// whether rows are packed without padding (the last source row then ends
// where the buffer does), and the rows to compute (first_row, and how many
// rows short of the bottom the range stops).
struct layout {
  const char* name;
  edge_output output;
  bool src_bottom_up, dst_bottom_up, tight;
  std::uint32_t first_row, rows_short;
};

constexpr layout layouts[] = {
    {"mask", edge_output::mask, false, false, false, 0, 0},
    {"tight mask", edge_output::mask, false, false, true, 0, 0},
    {"bottom-up source", edge_output::picture, true, false, false, 0, 0},
    {"bottom-up target", edge_output::picture, false, true, true, 0, 0},
    {"both bottom-up mask", edge_output::mask, true, true, true, 0, 0},
    {"middle rows", edge_output::picture, false, false, true, 1, 1},
    {"last row", edge_output::picture, true, false, false, 4, 0},
    {"first row mask", edge_output::mask, false, true, false, 0, 4},
};

// What k writes for img laid out as l, into a target prefilled with 0x77:
// every byte between and beside the target pixels must keep it. Each
// buffer is an allocation of its own exact size, so that AddressSanitizer
// sees a kernel that reads past the source or writes past the target.
bytes run_laid_out(const edge_kernel& k, const image& img, const layout& l,
                   double threshold) {
  const std::size_t row = std::size_t{img.width} * img.bpp;
  const std::size_t src_stride = l.tight ? row : row + 5;
  bytes src(src_stride * img.height);
  for (std::uint32_t r = 0; r < img.height; ++r) {
    const std::uint32_t at = l.src_bottom_up ? img.height - 1 - r : r;
    std::memcpy(src.data() + at * src_stride,
                img.src.data() + std::size_t{r} * img.stride, row);
  }
  const std::uint32_t first = std::min(l.first_row, img.height - 1);
  const std::uint32_t last =
      std::max(first + 1, img.height - std::min(l.rows_short, img.height));
  const std::size_t out_row = l.output == edge_output::mask ? img.width : row;
  const std::size_t dst_stride = l.tight ? out_row : out_row + 3;
  bytes dst(dst_stride * (last - first), 0x77);
  pixel_view v{};
  v.src = src.data();
  v.src_stride = static_cast<std::ptrdiff_t>(src_stride);
  if (l.src_bottom_up) {
    v.src += src_stride * (img.height - 1);
    v.src_stride = -v.src_stride;
  }
  v.dst = dst.data();
  v.dst_stride = static_cast<std::ptrdiff_t>(dst_stride);
  if (l.dst_bottom_up) {
    v.dst += dst_stride * (last - first - 1);
    v.dst_stride = -v.dst_stride;
  }
  v.width = img.width;
  v.height = img.height;
  v.bytes_per_pixel = img.bpp;
  v.first_row = first;
  v.last_row = last;
  v.output = l.output;
  const auto scratch = test::make_scratch();
  v.scratch = scratch.get();
  k.run(v, threshold);
  return dst;
}

// Every layout, at widths on either side of every vector step (16, 32 and
// 64 pixels), a sweep chunk (512) and pixel sizes with and without vector
// paths, at a threshold the 16-bit lanes decide and one they cannot.
TEST(edge_kernels, every_layout_matches_the_reference) {
  std::mt19937 rng(77);
  for (const layout& l : layouts) {
    for (std::uint32_t bpp : {3u, 4u, 5u, 6u}) {
      for (std::uint32_t w : {1u, 2u, 15u, 17u, 31u, 33u, 63u, 64u, 65u, 66u,
                              127u, 130u, 513u, 515u}) {
        const image img = random_image(w, 6, bpp, rng);
        for (double t : {90.0, 300.0}) {
          const bytes want = run_laid_out(reference(), img, l, t);
          for (const edge_kernel* k : variants()) {
            ASSERT_TRUE(run_laid_out(*k, img, l, t) == want)
                << k->name << ", " << l.name << ", " << w << " pixels of "
                << bpp << " bytes, threshold " << t;
          }
        }
      }
    }
  }
}

#if !defined(_WIN32) && !defined(__SANITIZE_ADDRESS__) && \
    !defined(__SANITIZE_THREAD__)
// The most stack fn(arg) takes, measured on a thread whose stack is a
// buffer of ours painted with a pattern: the lowest byte that no longer
// holds it marks the deepest the thread went.
std::size_t stack_depth(void* (*fn)(void*), void* arg) {
  constexpr std::size_t size = std::size_t{1} << 20;
  constexpr unsigned char paint = 0xA5;
  void* const stack = std::aligned_alloc(4096, size);
  if (stack == nullptr) return size;
  std::memset(stack, paint, size);
  pthread_attr_t attr;
  pthread_t thread;
  pthread_attr_init(&attr);
  const bool started = pthread_attr_setstack(&attr, stack, size) == 0 &&
                       pthread_create(&thread, &attr, fn, arg) == 0;
  if (started) pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  const auto* painted = static_cast<const unsigned char*>(stack);
  std::size_t untouched = 0;
  while (untouched < size && painted[untouched] == paint) ++untouched;
  std::free(stack);
  return started ? size - untouched : size;
}

struct stack_job {
  const edge_kernel* kernel;
  pixel_view view;
};

void* run_job(void* job) {
  const auto* j = static_cast<const stack_job*>(job);
  if (j->kernel != nullptr) j->kernel->run(j->view, 90.0);
  return nullptr;
}

// A kernel call may take 16 KiB of stack beyond what the thread takes
// before it: everything larger lives in the caller's scratch block. Rows
// wider than a strip, pictures of 3 and 4 bytes and masks, so that every
// path runs.
TEST(edge_kernels, take_at_most_16_kib_of_stack) {
  constexpr std::size_t allowed = std::size_t{16} << 10;
  // The first thread of the process pays one-time costs (lazy symbol
  // binding, for one) that later ones do not: measure the baseline on a
  // second thread, and the kernels' use as the difference, at least 0.
  stack_job idle{nullptr, {}};
  stack_depth(run_job, &idle);
  const std::size_t baseline = stack_depth(run_job, &idle);
  std::mt19937 rng(16);
  for (std::uint32_t bpp : {3u, 4u}) {
    const image img = random_image(8300, 3, bpp, rng);
    bytes dst(img.src.size());
    const auto scratch = test::make_scratch();
    for (edge_output output : {edge_output::picture, edge_output::mask}) {
      for (const edge_kernel* k : variants()) {
        stack_job job{k, whole_image(img.src.data(), img.stride, dst.data(),
                                     img.stride, img.width, img.height, bpp,
                                     edge_output::picture, scratch.get())};
        job.view.output = output;
        const std::size_t depth = stack_depth(run_job, &job);
        const std::size_t used = depth > baseline ? depth - baseline : 0;
        EXPECT_LE(used, allowed) << k->name << " on " << bpp << "-byte pixels";
      }
    }
  }
}
#endif

// Gradient sum of pixel (r, c) worked out independently of every kernel.
std::uint32_t gradient_sum(const image& img, std::int64_t r, std::int64_t c) {
  auto gray = [&](std::int64_t y, std::int64_t x) -> int {
    if (y < 0 || x < 0 || y >= img.height || x >= img.width) return 0;
    const std::uint8_t* p =
        img.src.data() + y * img.stride + x * std::int64_t{img.bpp};
    return (p[0] + p[1] + p[2]) / 3;
  };
  const int gx = gray(r - 1, c + 1) + 2 * gray(r, c + 1) + gray(r + 1, c + 1) -
                 gray(r - 1, c - 1) - 2 * gray(r, c - 1) - gray(r + 1, c - 1);
  const int gy = gray(r + 1, c - 1) + 2 * gray(r + 1, c) + gray(r + 1, c + 1) -
                 gray(r - 1, c - 1) - 2 * gray(r - 1, c) - gray(r - 1, c + 1);
  return static_cast<std::uint32_t>(gx * gx + gy * gy);
}

// The middle row's byte sums run through 0..765, split over the three
// bytes in varying ways so the truncated third meets every remainder; the
// thresholds sit exactly on the magnitudes that occur and one step either
// side of them.
TEST(edge_kernels, magnitudes_on_and_beside_the_threshold_match) {
  std::mt19937 rng(765);
  for (std::uint32_t bpp : {3u, 4u}) {
    image img(766, 3, bpp);
    for (auto& b : img.src) b = static_cast<std::uint8_t>(rng());
    for (std::uint32_t c = 0; c < img.width; ++c) {
      std::uint8_t* p = img.pixel(1, c);
      // Any split of the sum c into three bytes.
      auto pick = [&](int total, int parts_after) {
        const int lo = std::max(0, total - 255 * parts_after);
        const int hi = std::min(255, total);
        return lo +
               static_cast<int>(rng() % static_cast<unsigned>(hi - lo + 1));
      };
      const int b0 = pick(static_cast<int>(c), 2);
      const int b1 = pick(static_cast<int>(c) - b0, 1);
      p[0] = static_cast<std::uint8_t>(b0);
      p[1] = static_cast<std::uint8_t>(b1);
      p[2] = static_cast<std::uint8_t>(static_cast<int>(c) - b0 - b1);
      ASSERT_EQ(p[0] + p[1] + p[2], static_cast<int>(c));
    }
    for (std::uint32_t c = 0; c < img.width; c += 23) {
      const double on = std::sqrt(static_cast<double>(gradient_sum(img, 1, c)));
      for (double t : {on, std::nextafter(on, -inf), std::nextafter(on, inf)}) {
        expect_all_match(img, t);
        if (HasFatalFailure()) return;
      }
    }
  }
}

TEST(edge_kernels, special_thresholds_match) {
  std::mt19937 rng(1);
  const double thresholds[] = {
      90.0,     0.0,     -0.0,     -5.0,         0.5, 89.99999,       90.00001,
      1442.5,   1443.0,  1e9,      std::nan(""), inf, -inf,           DBL_MIN,
      -DBL_MIN, DBL_MAX, -DBL_MAX, 4.9e-324,     1.0, std::sqrt(2.0), 1442.0,
      1020.0};
  for (auto [w, h] : {std::pair{1u, 1u}, std::pair{3u, 2u}, std::pair{67u, 5u},
                      std::pair{130u, 6u}}) {
    const image img = random_image(w, h, 3, rng);
    for (double t : thresholds) {
      expect_all_match(img, t);
      if (HasFatalFailure()) return;
    }
  }
}

struct black_sum_case {
  double threshold;
  std::uint32_t sum;
  friend void PrintTo(const black_sum_case& c, std::ostream* os) {
    *os << std::setprecision(17) << "threshold " << c.threshold
        << ", least sum " << c.sum;
  }
};

class least_black : public ::testing::TestWithParam<black_sum_case> {};

TEST_P(least_black, sum) {
  EXPECT_EQ(least_black_sum(GetParam().threshold), GetParam().sum);
}

INSTANTIATE_TEST_SUITE_P(
    edge_kernels, least_black,
    ::testing::Values(
        black_sum_case{90.0, 8100}, black_sum_case{89.99999, 8100},
        black_sum_case{90.00001, 8101}, black_sum_case{0.0, 0},
        black_sum_case{-0.0, 0}, black_sum_case{-5.0, 0},
        black_sum_case{-inf, 0}, black_sum_case{DBL_MIN, 1},
        black_sum_case{0.5, 1}, black_sum_case{1.0, 1}, black_sum_case{1.5, 3},
        black_sum_case{1442.49, 2080778},
        black_sum_case{std::sqrt(double{max_gradient_sum}), max_gradient_sum},
        black_sum_case{1442.5, never}, black_sum_case{1e9, never},
        black_sum_case{inf, never}, black_sum_case{std::nan(""), never}));

}  // namespace
}  // namespace edgemap
