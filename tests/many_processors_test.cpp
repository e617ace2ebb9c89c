// The library on a machine with more processors than one call splits an
// image into. This program has glibc's get_nprocs, which the C++ runtime's
// std::thread::hardware_concurrency asks, answer 128, so that a call may
// ask for more threads than a call has scratch blocks for.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "core/worker_pool.h"
#include "edgemap.h"

extern "C" int get_nprocs();
extern "C" int get_nprocs() { return 128; }

namespace edgemap {
namespace {

TEST(many_processors, a_hundred_threads_give_the_one_thread_result) {
  ASSERT_EQ(processor_count(), 128u) << "get_nprocs was not replaced";
  constexpr std::uint32_t width = 37;
  constexpr std::uint32_t height = 1000;
  constexpr std::uint32_t stride = width * 4;
  std::mt19937 rng(5);
  std::vector<std::uint8_t> src(std::size_t{stride} * height);
  for (auto& b : src) b = static_cast<std::uint8_t>(rng());
  std::vector<std::uint8_t> one(src.size()), many(src.size());
  ASSERT_EQ(edgemap_detect(src.data(), stride, one.data(), stride, width,
                           height, 4, 90.0, 1),
            EDGEMAP_OK);
  ASSERT_EQ(edgemap_detect(src.data(), stride, many.data(), stride, width,
                           height, 4, 90.0, 100),
            EDGEMAP_OK);
  EXPECT_TRUE(many == one);
}

}  // namespace
}  // namespace edgemap
