// The compiled variants of the fused detector and what they share. Each
// variant is the same plain C++ driver (fused_kernel.h) built for another
// instruction set, with hooks in intrinsics where it has them, so this
// header declares only what crosses between translation units compiled
// with different flags.
#pragma once

#include <cstdint>

#include "edges/detect_edges.h"

namespace edgemap {

// The largest gx^2 + gy^2: both responses at 4 * 255.
inline constexpr std::uint32_t max_gradient_sum = 2 * 1020 * 1020;

// The least integer s in [0, max_gradient_sum + 1] for which
// sqrt(double(s)) - threshold >= 0, exactly as the reference evaluates it,
// or max_gradient_sum + 1 when no sum reaches the threshold (NaN, +inf,
// anything above about 1442.6). A pixel is black exactly when its
// gx^2 + gy^2 is at least this. Built with the baseline flags only.
std::uint32_t least_black_sum(double threshold) noexcept;

void detect_edges_portable(const pixel_view& view, double threshold) noexcept;
#if defined(EDGEMAP_KERNEL_SSE41)
void detect_edges_sse41(const pixel_view& view, double threshold) noexcept;
#endif
#if defined(EDGEMAP_KERNEL_AVX2)
void detect_edges_avx2(const pixel_view& view, double threshold) noexcept;
// The same, its target always written past the cache (detect_edges_avx2
// does so only for large targets).
void detect_edges_avx2_stream(const pixel_view& view,
                              double threshold) noexcept;
#endif
#if defined(EDGEMAP_KERNEL_AVX512)
void detect_edges_avx512(const pixel_view& view, double threshold) noexcept;
// The same, its target always written past the cache (detect_edges_avx512
// does so only for large targets).
void detect_edges_avx512_stream(const pixel_view& view,
                                double threshold) noexcept;
#endif
#if defined(EDGEMAP_KERNEL_AVX512VBMI)
void detect_edges_avx512vbmi(const pixel_view& view, double threshold) noexcept;
// The same, its target always written past the cache.
void detect_edges_avx512vbmi_stream(const pixel_view& view,
                                    double threshold) noexcept;
#endif
#if defined(EDGEMAP_KERNEL_NEON)
void detect_edges_neon(const pixel_view& view, double threshold) noexcept;
#endif
#if defined(EDGEMAP_KERNEL_SIMD128)
void detect_edges_simd128(const pixel_view& view, double threshold) noexcept;
#endif

}  // namespace edgemap
