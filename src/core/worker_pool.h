// Threads that outlive calls, so that splitting an image costs a wake-up,
// not a thread start.
#pragma once

#include <cstdint>

namespace edgemap {

// The number of processors the pool may use (at least 1).
unsigned processor_count() noexcept;

// Runs task(context, k) for every k in [0, parts): the calling thread takes
// parts itself, and idle pool threads join in. Returns once every part has
// run. Any number of callers may use the pool at once; a caller never waits
// for another caller's parts. When no pool thread can be started, the
// caller runs every part itself.
void run_parts(std::uint32_t parts, void (*task)(void* context, std::uint32_t),
               void* context) noexcept;

}  // namespace edgemap
