// The library on a machine with more processors than one call splits an
// image into. This program has glibc's get_nprocs, which the C++ runtime's
// std::thread::hardware_concurrency asks, and the affinity mask answer 128,
// so that a call may ask for more threads than a call has scratch blocks
// for, and the pool has far more threads than the machine's processors.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include "core/worker_pool.h"
#include "edgemap.h"

extern "C" int get_nprocs();
extern "C" int get_nprocs() { return 128; }
extern "C" int sched_getaffinity(pid_t, std::size_t size,
                                 cpu_set_t* mask) noexcept {
  CPU_ZERO_S(size, mask);
  for (int cpu = 0; cpu < 128; ++cpu) CPU_SET_S(cpu, size, mask);
  return 0;
}

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

long voluntary_switches() {
  rusage usage{};
  (void)getrusage(RUSAGE_SELF, &usage);  // cannot fail with these arguments
  return usage.ru_nvcsw;
}

// Every pool thread woken for a job of two parts would each time take the
// mutex and sleep again: over a hundred context switches a job. The pause
// after each job lets the threads woken go back to sleep, and counts one.
TEST(many_processors, a_job_of_two_parts_wakes_few_pool_threads) {
  const auto nothing = [](void*, std::uint32_t) {};
  for (int i = 0; i < 20; ++i) run_parts(2, nothing, nullptr);  // threads up
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  constexpr long jobs = 50;
  const long before = voluntary_switches();
  for (long i = 0; i < jobs; ++i) {
    run_parts(2, nothing, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_LT(voluntary_switches() - before, 16 * jobs);
}

}  // namespace
}  // namespace edgemap
