#include "edges/detect_edges.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "edges/edge_variants.h"

#if defined(EDGEMAP_KERNEL_NEON) && defined(__linux__) && !defined(__aarch64__)
#include <sys/auxv.h>
#endif

namespace edgemap {
namespace {

bool reaches(std::uint32_t sum, double threshold) noexcept {
  // The reference's test, on a sum it computes exactly.
  return std::sqrt(static_cast<double>(sum)) - threshold >= 0.0;
}

bool always() noexcept { return true; }

#if defined(EDGEMAP_KERNEL_SSE41)
bool has_sse41() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("ssse3") && __builtin_cpu_supports("sse4.1");
}
#endif

#if defined(EDGEMAP_KERNEL_AVX2)
bool has_avx2() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
         __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
}
#endif

#if defined(EDGEMAP_KERNEL_AVX512)
bool has_avx512() noexcept {
  __builtin_cpu_init();
  return has_avx2() && __builtin_cpu_supports("avx512f") &&
         __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vl") &&
         __builtin_cpu_supports("avx512dq");
}
#endif

#if defined(EDGEMAP_KERNEL_AVX512VBMI)
bool has_avx512vbmi() noexcept {
  return has_avx512() && __builtin_cpu_supports("avx512vbmi");
}
#endif

#if defined(EDGEMAP_KERNEL_NEON)
bool has_neon() noexcept {
#if defined(__aarch64__)
  return true;  // part of the 64-bit ARM baseline
#elif defined(__linux__)
  constexpr unsigned long hwcap_neon = 1ul << 12;  // HWCAP_NEON
  return (getauxval(AT_HWCAP) & hwcap_neon) != 0;
#else
  return false;
#endif
}
#endif

// Slowest first: the selection takes the last entry the processor runs.
constexpr edge_kernel kernels[] = {
    {"reference", detect_edges_reference, always},
    {"portable", detect_edges_portable, always},
#if defined(EDGEMAP_KERNEL_NEON)
    {"neon", detect_edges_neon, has_neon},
#endif
#if defined(EDGEMAP_KERNEL_SIMD128)
    // Its module is loaded only where the engine validates SIMD.
    {"simd128", detect_edges_simd128, always},
#endif
#if defined(EDGEMAP_KERNEL_SSE41)
    {"sse41", detect_edges_sse41, has_sse41},
#endif
#if defined(EDGEMAP_KERNEL_AVX2)
    // Not chosen by itself (an entry after it is), but tested and measured.
    {"avx2_stream", detect_edges_avx2_stream, has_avx2},
    {"avx2", detect_edges_avx2, has_avx2},
#endif
#if defined(EDGEMAP_KERNEL_AVX512)
    // Not chosen by itself (an entry after it is), but tested and measured.
    {"avx512_stream", detect_edges_avx512_stream, has_avx512},
    {"avx512", detect_edges_avx512, has_avx512},
#endif
#if defined(EDGEMAP_KERNEL_AVX512VBMI)
    {"avx512vbmi_stream", detect_edges_avx512vbmi_stream, has_avx512vbmi},
    {"avx512vbmi", detect_edges_avx512vbmi, has_avx512vbmi},
#endif
};

const edge_kernel& choose_kernel() noexcept {
  // EDGEMAP_KERNEL names a variant to use instead of the fastest, for
  // measuring and testing; one the processor cannot run is ignored.
  // Read once, while the choice is made; nothing here sets the environment.
  // NOLINTNEXTLINE(concurrency-mt-unsafe)
  const char* wanted = std::getenv("EDGEMAP_KERNEL");
  const edge_kernel* best = &kernels[0];
  for (const edge_kernel& k : kernels) {
    if (!k.supported()) continue;
    if (wanted != nullptr && std::strcmp(wanted, k.name) == 0) return k;
    best = &k;
  }
  return *best;
}

}  // namespace

std::uint32_t least_black_sum(double threshold) noexcept {
  // reaches() only ever turns from false to true as the sum grows, so a
  // binary search finds where; the sentinel max_gradient_sum + 1 counts as
  // reached, and no pixel has that sum.
  std::uint32_t lo = 0;
  std::uint32_t hi = max_gradient_sum + 1;
  while (lo < hi) {
    const std::uint32_t mid = lo + (hi - lo) / 2;
    if (reaches(mid, threshold)) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  return lo;
}

std::span<const edge_kernel> edge_kernels() noexcept { return kernels; }

const edge_kernel& selected_edge_kernel() noexcept {
  static const edge_kernel& chosen = choose_kernel();
  return chosen;
}

}  // namespace edgemap
