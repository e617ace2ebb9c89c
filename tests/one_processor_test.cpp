// The library in a process allowed one processor (`taskset -c 0`, a
// container pinned to one) of a machine that has 128: this program has
// glibc's get_nprocs, which the C++ runtime's
// std::thread::hardware_concurrency asks, answer 128, and the test pins
// its thread before the library first counts processors.
#include <gtest/gtest.h>
#include <sched.h>

#include <cstdint>
#include <thread>

#include "core/worker_pool.h"

extern "C" int get_nprocs();
extern "C" int get_nprocs() { return 128; }

namespace edgemap {
namespace {

TEST(one_processor, the_pool_takes_the_affinity_mask_and_starts_no_thread) {
  cpu_set_t allowed;
  ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
  int cpu = 0;
  while (!CPU_ISSET(cpu, &allowed)) ++cpu;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(cpu, &one);
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);

  EXPECT_EQ(processor_count(), 1u);
  std::thread::id ran[4];
  run_parts(
      4,
      [](void* ids, std::uint32_t k) {
        static_cast<std::thread::id*>(ids)[k] = std::this_thread::get_id();
      },
      ran);
  for (const std::thread::id& id : ran)
    EXPECT_EQ(id, std::this_thread::get_id());
}

}  // namespace
}  // namespace edgemap
