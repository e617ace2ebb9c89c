// detect_edges against the reference, every compiled variant, the selected
// one's mask output, memcpy of the same bytes and (when built with OpenCV)
// the best exact composition of OpenCV calls. Pixels per second in
// items_per_second; the images are generated and their buffers touched before
// any timing.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/pixel_buffer.h"
#include "edges/detect_edges.h"
#include "synthetic_image.h"

#if defined(EDGEMAP_BENCH_OPENCV)
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace edgemap::bench {
namespace {

constexpr double threshold = 90.0;

struct frame {
  std::uint32_t width, height, stride;
  pixel_buffer src, dst;
  std::unique_ptr<kernel_scratch> scratch = std::make_unique<kernel_scratch>();
  pixel_view view() const {
    return whole_image(src.get(), stride, dst.get(), stride, width, height, 3,
                       edge_output::picture, scratch.get());
  }
  std::size_t bytes() const { return std::size_t{stride} * height; }
};

// One frame per size, shared by every benchmark of that size.
frame& frame_of(std::uint32_t width, std::uint32_t height) {
  static std::vector<std::unique_ptr<frame>> frames;
  for (auto& f : frames) {
    if (f->width == width && f->height == height) return *f;
  }
  auto f = std::make_unique<frame>();
  f->width = width;
  f->height = height;
  f->stride = (3 * width + 3) & ~3u;
  const std::vector<std::uint8_t> pixels =
      synthetic_image(width, height, f->stride);
  if (!f->src.reserve(f->bytes()) || !f->dst.reserve(f->bytes())) {
    std::abort();
  }
  std::memcpy(f->src.get(), pixels.data(), f->bytes());
  std::memset(f->dst.get(), 0, f->bytes());
  frames.push_back(std::move(f));
  return *frames.back();
}

void count(benchmark::State& state, const frame& f) {
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) *
                          f.width * f.height);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(f.bytes()));
}

void bm_kernel(benchmark::State& state, const edge_kernel* k) {
  frame& f = frame_of(static_cast<std::uint32_t>(state.range(0)),
                      static_cast<std::uint32_t>(state.range(1)));
  const pixel_view v = f.view();
  for (auto _ : state) {
    k->run(v, threshold);
    benchmark::DoNotOptimize(f.dst.get());
    benchmark::ClobberMemory();
  }
  count(state, f);
}

// The mask output (one byte per pixel) of a kernel.
void bm_mask(benchmark::State& state, const edge_kernel* k) {
  frame& f = frame_of(static_cast<std::uint32_t>(state.range(0)),
                      static_cast<std::uint32_t>(state.range(1)));
  std::vector<std::uint8_t> mask(std::size_t{f.width} * f.height);
  pixel_view v = f.view();
  v.output = edge_output::mask;
  v.dst = mask.data();
  v.dst_stride = f.width;
  for (auto _ : state) {
    k->run(v, threshold);
    benchmark::DoNotOptimize(mask.data());
    benchmark::ClobberMemory();
  }
  count(state, f);
}

void bm_memcpy(benchmark::State& state) {
  frame& f = frame_of(static_cast<std::uint32_t>(state.range(0)),
                      static_cast<std::uint32_t>(state.range(1)));
  for (auto _ : state) {
    std::memcpy(f.dst.get(), f.src.get(), f.bytes());
    benchmark::DoNotOptimize(f.dst.get());
    benchmark::ClobberMemory();
  }
  count(state, f);
}

#if defined(EDGEMAP_BENCH_OPENCV)
// The exact result from OpenCV building blocks, three ways. All take gray
// as the truncated mean (a weighted sum of 1/3 each minus 1/3, rounded, is
// floor(sum / 3) for sums 0..765), two 3x3 Sobel filters with a zero
// border, and spread the black-and-white mask to three channels in place:
//   sobel_16s  16-bit responses converted to float, squared and summed
//              (exact below 2^24), compared with the least black sum;
//   sobel_32f  the same with the filters writing float directly;
//   magnitude  float responses, cv::magnitude (a float root of an exact
//              sum) compared with the float root of the least black sum;
//              exact here because neighbouring sums' roots lie more than a
//              float step apart, and checked like the others.
enum class opencv_way { sobel_16s, sobel_32f, magnitude };

struct opencv_pipeline {
  opencv_way way;
  cv::Mat gray, gx, gy, fx, fy, mask;
  float black_sum;

  opencv_pipeline(opencv_way w, double t) : way(w) {
    // The same search detect_edges does, with the reference's expression.
    std::uint32_t lo = 0, hi = 2 * 1020 * 1020 + 1;
    while (lo < hi) {
      const std::uint32_t mid = lo + (hi - lo) / 2;
      if (std::sqrt(static_cast<double>(mid)) - t >= 0.0) {
        hi = mid;
      } else {
        lo = mid + 1;
      }
    }
    black_sum = static_cast<float>(lo);
  }

  void run(const frame& f) {
    const cv::Mat src(static_cast<int>(f.height), static_cast<int>(f.width),
                      CV_8UC3, f.src.get(), f.stride);
    cv::Mat dst(static_cast<int>(f.height), static_cast<int>(f.width), CV_8UC3,
                f.dst.get(), f.stride);
    const float third = 1.0f / 3.0f;
    cv::transform(src, gray, cv::Matx14f(third, third, third, -third));
    if (way == opencv_way::sobel_16s) {
      cv::Sobel(gray, gx, CV_16S, 1, 0, 3, 1, 0, cv::BORDER_CONSTANT);
      cv::Sobel(gray, gy, CV_16S, 0, 1, 3, 1, 0, cv::BORDER_CONSTANT);
      gx.convertTo(fx, CV_32F);
      gy.convertTo(fy, CV_32F);
    } else {
      cv::Sobel(gray, fx, CV_32F, 1, 0, 3, 1, 0, cv::BORDER_CONSTANT);
      cv::Sobel(gray, fy, CV_32F, 0, 1, 3, 1, 0, cv::BORDER_CONSTANT);
    }
    if (way == opencv_way::magnitude) {
      cv::magnitude(fx, fy, fx);
      cv::compare(fx, std::sqrt(black_sum), mask, cv::CMP_LT);
    } else {
      cv::multiply(fx, fx, fx);
      cv::multiply(fy, fy, fy);
      cv::add(fx, fy, fx);
      cv::compare(fx, black_sum, mask, cv::CMP_LT);  // 255 where white
    }
    cv::cvtColor(mask, dst, cv::COLOR_GRAY2BGR);
  }
};

void bm_opencv(benchmark::State& state, opencv_way way) {
  cv::setNumThreads(1);
  frame& f = frame_of(static_cast<std::uint32_t>(state.range(0)),
                      static_cast<std::uint32_t>(state.range(1)));
  opencv_pipeline cv_edges(way, threshold);
  // Exact or not timed at all.
  std::vector<std::uint8_t> want(f.bytes());
  pixel_view v = f.view();
  v.dst = want.data();
  detect_edges_reference(v, threshold);
  std::memset(f.dst.get(), 0x55, f.bytes());
  cv_edges.run(f);
  for (std::uint32_t r = 0; r < f.height; ++r) {
    const std::size_t at = std::size_t{r} * f.stride;
    if (std::memcmp(want.data() + at, f.dst.get() + at, 3 * f.width) != 0) {
      state.SkipWithError("OpenCV result differs from the reference");
      return;
    }
  }
  for (auto _ : state) {
    cv_edges.run(f);
    benchmark::DoNotOptimize(f.dst.get());
    benchmark::ClobberMemory();
  }
  count(state, f);
}
#endif

void sizes(benchmark::internal::Benchmark* b) {
  b->Args({640, 480})
      ->Args({1920, 1080})
      ->Args({4000, 3000})
      ->Args({8000, 6000})
      ->ArgNames({"w", "h"})
      ->Unit(benchmark::kMicrosecond);
}

const int registered = [] {
  for (const edge_kernel& k : edge_kernels()) {
    if (!k.supported()) continue;
    benchmark::RegisterBenchmark(
        (std::string("detect_edges/") + k.name).c_str(), bm_kernel, &k)
        ->Apply(sizes);
  }
  const edge_kernel& best = selected_edge_kernel();
  benchmark::RegisterBenchmark(
      (std::string("detect_edges_mask/") + best.name).c_str(), bm_mask, &best)
      ->Apply(sizes);
  benchmark::RegisterBenchmark("memcpy", bm_memcpy)->Apply(sizes);
#if defined(EDGEMAP_BENCH_OPENCV)
  benchmark::RegisterBenchmark("opencv_16s", bm_opencv, opencv_way::sobel_16s)
      ->Apply(sizes);
  benchmark::RegisterBenchmark("opencv_32f", bm_opencv, opencv_way::sobel_32f)
      ->Apply(sizes);
  benchmark::RegisterBenchmark("opencv_magnitude", bm_opencv,
                               opencv_way::magnitude)
      ->Apply(sizes);
#endif
  return 0;
}();

}  // namespace
}  // namespace edgemap::bench

BENCHMARK_MAIN();
