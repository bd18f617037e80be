// The clock ticks every timing program counts, and what they are: the
// processor's own counter where it has one, read with fences so that the
// read stays in its place; elsewhere the monotonic clock in nanoseconds.
#pragma once

#include "cpu_instructions.h"
#include "process.h"

#include <cstdint>

// What one tick is, as the programs name it in their reports.
#if defined(MATMUL_CPU_X86)
inline constexpr char kClockTickUnit[] = "time-stamp counter ticks (RDTSC)";
#elif defined(MATMUL_CPU_AARCH64)
inline constexpr char kClockTickUnit[] = "virtual counter ticks (CNTVCT_EL0, at the rate of CNTFRQ_EL0)";
#else
inline constexpr char kClockTickUnit[] = "monotonic clock nanoseconds";
#endif

// Inline, so that nothing but the read itself lies next to a timed loop.
inline std::uint64_t ReadClockTicks()
{
#if defined(MATMUL_CPU_TICK_COUNTER)
    return cpu::ReadTickCounter();
#else
    return platform::MonotonicClockNanoseconds();
#endif
}
