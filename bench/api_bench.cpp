// The C API as callers use it: edgemap_detect on one, two and an automatic
// number of threads, and edgemap_convert_file from one and two calling
// threads over eight files (each call on one thread). Buffers and files
// are made, touched and checked before anything is timed.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bitmap/bitmap_header.h"
#include "edgemap.h"
#include "synthetic_image.h"

namespace edgemap::bench {
namespace {

struct image {
  std::uint32_t width, height, stride;
  std::vector<std::uint8_t> src, dst;
};

const image& image_of(std::uint32_t width, std::uint32_t height) {
  static std::vector<std::unique_ptr<image>> images;
  for (const auto& i : images) {
    if (i->width == width && i->height == height) return *i;
  }
  auto i = std::make_unique<image>();
  i->width = width;
  i->height = height;
  i->stride = (3 * width + 3) & ~3u;
  i->src = synthetic_image(width, height, i->stride);
  i->dst.assign(i->src.size(), 0);
  images.push_back(std::move(i));
  return *images.back();
}

void bm_detect(benchmark::State& state) {
  // The target is the benchmark's own: detect writes it.
  auto& img =
      const_cast<image&>(image_of(static_cast<std::uint32_t>(state.range(0)),
                                  static_cast<std::uint32_t>(state.range(1))));
  const auto threads = static_cast<unsigned>(state.range(2));
  for (auto _ : state) {
    const int status =
        edgemap_detect(img.src.data(), img.stride, img.dst.data(), img.stride,
                       img.width, img.height, 3, 90.0, threads);
    if (status != EDGEMAP_OK) state.SkipWithError(edgemap_strerror(status));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) *
                          img.width * img.height);
}

// Eight 1920x1080 bitmaps in a folder of their own, written once and
// removed at exit.
struct eight_bitmaps {
  std::filesystem::path dir;
  std::vector<std::string> files;

  eight_bitmaps() {
    // (GCC 12 misreads "literal" + std::to_string(...) at -O3.)
    std::string name = "edgemap-bench-";
    name += std::to_string(std::random_device{}());
    dir = std::filesystem::temp_directory_path() / name;
    std::filesystem::create_directories(dir);
    const image& img = image_of(1920, 1080);
    auto header = initial_bmp_header();
    write_u32_le(header.data() + offset_bf_size,
                 static_cast<std::uint32_t>(header_size + img.src.size()));
    write_u32_le(header.data() + offset_bi_width, img.width);
    write_u32_le(header.data() + offset_bi_height, img.height);
    for (int k = 0; k < 8; ++k) {
      std::string name_k = "s";
      name_k += std::to_string(k);
      const std::string path = (dir / name_k).string();
      std::FILE* f = std::fopen(path.c_str(), "wb");
      if (f == nullptr) std::abort();
      (void)std::fwrite(header.data(), 1, header.size(), f);
      (void)std::fwrite(img.src.data(), 1, img.src.size(), f);
      (void)std::fclose(f);
      files.push_back(path);
    }
  }
  ~eight_bitmaps() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
  eight_bitmaps(const eight_bitmaps&) = delete;
  eight_bitmaps& operator=(const eight_bitmaps&) = delete;
};

const std::vector<std::string>& eight_files() {
  static const eight_bitmaps bitmaps;
  return bitmaps.files;
}

// With replace 0 every target is new (removed, untimed, before each
// round), as a batch into a fresh folder writes them; with 1 each replaces
// the last round's, which on ext4 starts the new file's write-back at the
// rename.
void bm_convert_eight_files(benchmark::State& state) {
  const auto callers = static_cast<unsigned>(state.range(0));
  const bool replace = state.range(1) != 0;
  const auto& files = eight_files();
  for (auto _ : state) {
    if (!replace) {
      state.PauseTiming();
      for (const auto& f : files) std::remove((f + ".edges.bmp").c_str());
      state.ResumeTiming();
    }
    std::atomic<std::size_t> next{0};
    std::atomic<int> failed{0};
    auto work = [&] {
      for (std::size_t k; (k = next.fetch_add(1)) < files.size();) {
        failed += edgemap_convert_file(files[k].c_str(),
                                       (files[k] + ".edges.bmp").c_str(), 90.0,
                                       1) != EDGEMAP_OK;
      }
    };
    std::vector<std::thread> threads;
    for (unsigned t = 1; t < callers; ++t) threads.emplace_back(work);
    work();
    for (auto& t : threads) t.join();
    if (failed != 0) state.SkipWithError("a conversion failed");
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(files.size()));
}

const int registered = [] {
  benchmark::RegisterBenchmark("edgemap_detect", bm_detect)
      ->ArgsProduct({{1920}, {1080}, {1, 2, 0}})
      ->ArgsProduct({{4000}, {3000}, {1, 2, 0}})
      ->ArgsProduct({{8000}, {6000}, {1, 2, 0}})
      ->ArgNames({"w", "h", "threads"})
      ->Unit(benchmark::kMicrosecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark("edgemap_convert_file/eight_1080p",
                               bm_convert_eight_files)
      ->ArgsProduct({{1, 2}, {0, 1}})
      ->ArgNames({"callers", "replace"})
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  return 0;
}();

}  // namespace
}  // namespace edgemap::bench
