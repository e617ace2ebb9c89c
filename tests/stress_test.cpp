// Eight threads calling the exported function at once on files of their
// own. Calls are serialized inside the library, so every target is exactly
// the edge map of its own source, and a call whose source is missing saves
// the image some call left behind, whole. And the worker pool's promise to
// each caller. Run under ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core/worker_pool.h"
#include "edgemap.h"
#include "test_support.h"

namespace edgemap {
namespace {

using test::bmp_recipe;
using test::bytes;

std::uint8_t texture(std::uint32_t r, std::uint32_t c, std::uint32_t b) {
  return static_cast<std::uint8_t>(((r / 2 + c / 3) % 2) * 200 + r * 3 + b);
}

// The exported function's unit: wchar_t on Windows, char16_t elsewhere.
using path_string = std::basic_string<edgemap_char16>;
path_string wide(const std::string& ascii) {
  return path_string(ascii.begin(), ascii.end());
}

std::string name(const char* prefix, int thread, int call = -1) {
  std::string n = prefix;
  n += std::to_string(thread);
  if (call >= 0) {
    n += '_';
    n += std::to_string(call);
  }
  return n + ".bmp";
}

TEST(stress, eight_threads_each_get_their_own_edge_map) {
  constexpr int threads = 8;
  constexpr int calls = 24;
  test::temp_dir dir;
  std::vector<bytes> expected;
  for (int i = 0; i < threads; ++i) {
    // Different sizes, pixel widths and row orders per thread, so a target
    // that mixes two calls' images cannot pass.
    const bmp_recipe sample{9 + 3 * i, (i % 3 == 0 ? -1 : 1) * (6 + i),
                            static_cast<std::uint16_t>(i % 2 ? 32 : 24), 54,
                            texture};
    test::write_file(dir.path(name("s", i)), test::make_bmp(sample));
    expected.push_back(test::expected_target(sample));
  }

  std::vector<std::thread> pool;
  ::testing::internal::CaptureStdout();
  for (int i = 0; i < threads; ++i) {
    pool.emplace_back([&dir, i] {
      const auto source = wide(dir.path(name("s", i)));
      const auto missing = wide(dir.path(name("missing", i)));
      for (int k = 0; k < calls; ++k) {
        const auto target = wide(dir.path(name("t", i, k)));
        // Every fourth call after the first has no source.
        const bool without_source = k % 4 == 3;
        QTVSolbelP(without_source ? missing.c_str() : source.c_str(),
                   target.c_str());
      }
    });
  }
  for (auto& t : pool) t.join();
  const std::string out = ::testing::internal::GetCapturedStdout();

  // Two size lines per call and one more for each missing source.
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'),
            threads * calls * 2 + threads * (calls / 4));
  for (int i = 0; i < threads; ++i) {
    for (int k = 0; k < calls; ++k) {
      const bytes target = test::read_file(dir.path(name("t", i, k)));
      if (k % 4 == 3) {
        EXPECT_TRUE(std::find(expected.begin(), expected.end(), target) !=
                    expected.end())
            << "thread " << i << " call " << k;
      } else {
        EXPECT_TRUE(target == expected[static_cast<std::size_t>(i)])
            << "thread " << i << " call " << k;
      }
    }
  }
}

// A caller of the pool returns only once every part of its call has
// finished, those pool threads took included: the caller's own part waits
// until a pool thread has taken the other, which then outlasts it.
TEST(worker_pool, a_caller_returns_after_the_parts_pool_threads_took) {
  if (processor_count() < 2) GTEST_SKIP() << "no pool threads to take parts";
  struct parts {
    std::thread::id caller = std::this_thread::get_id();
    std::atomic<int> started{0};
    std::atomic<int> finished{0};
    std::atomic<bool> pool_took_one{false};
  } p;
  run_parts(
      2,
      [](void* context, std::uint32_t) {
        auto& c = *static_cast<parts*>(context);
        ++c.started;
        if (std::this_thread::get_id() == c.caller) {
          for (int i = 0; i < 2000 && c.started < 2; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
          }
        } else {
          c.pool_took_one = true;
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ++c.finished;
      },
      &p);
  EXPECT_EQ(p.finished, 2);
  EXPECT_TRUE(p.pool_took_one);
  // A caller that left early must not leave a part running on this stack.
  for (int i = 0; i < 2000 && p.finished < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace
}  // namespace edgemap
