// The processor instructions the harness relies on, as GCC-style inline
// assembly shared by every x86 build (Linux and Windows, 32- and 64-bit):
// the time-stamp counter, CPUID with the EFLAGS ID-bit test, XGETBV, the
// x87 packed-BCD store, the x87 reset and the floating-point control
// registers (MXCSR, the x87 control word). On AArch64 the virtual counter
// stands in for the time-stamp counter, and FPCR is the control register. Callers test MATMUL_CPU_X86 / MATMUL_CPU_AARCH64, or
// MATMUL_CPU_TICK_COUNTER for ReadTickCounter, and fall back to portable
// code elsewhere.
#pragma once

#include <cstdint>

#if defined(__i386__) || defined(__x86_64__)
#define MATMUL_CPU_X86 1
#define MATMUL_CPU_TICK_COUNTER 1
#elif defined(__aarch64__)
#define MATMUL_CPU_AARCH64 1
#define MATMUL_CPU_TICK_COUNTER 1
#endif

namespace cpu {

struct CpuidResult {
    std::uint32_t eax = 0;
    std::uint32_t ebx = 0;
    std::uint32_t ecx = 0;
    std::uint32_t edx = 0;
};

#if defined(MATMUL_CPU_X86)

// True when CPUID exists, that is when bit 21 (ID) of EFLAGS can be toggled.
// Every x86-64 processor has CPUID; on 32-bit x86 the flag is tried.
inline bool CpuidAvailable()
{
#if defined(__x86_64__)
    return true;
#else
    std::uint32_t original = 0;
    std::uint32_t toggled = 0;
    __asm__ volatile("pushfl\n\t"
                     "popl %0\n\t"
                     "movl %0, %1\n\t"
                     "xorl $0x200000, %1\n\t"
                     "pushl %1\n\t"
                     "popfl\n\t"
                     "pushfl\n\t"
                     "popl %1\n\t"
                     "pushl %0\n\t"
                     "popfl"
                     : "=&r"(original), "=&r"(toggled)
                     :
                     : "cc");
    return ((original ^ toggled) & 0x200000u) != 0;
#endif
}

inline CpuidResult Cpuid(std::uint32_t leaf, std::uint32_t subleaf = 0)
{
    CpuidResult r;
    __asm__ volatile("cpuid"
                     : "=a"(r.eax), "=b"(r.ebx), "=c"(r.ecx), "=d"(r.edx)
                     : "a"(leaf), "c"(subleaf));
    return r;
}

// Extended control register 0: which register state the operating system
// saves. Only valid to execute when CPUID leaf 1 reports OSXSAVE.
inline std::uint64_t ReadXcr0()
{
    std::uint32_t lo = 0;
    std::uint32_t hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0u));
    return (static_cast<std::uint64_t>(hi) << 32) | lo;
}

// Reads the time-stamp counter (RDTSC), in time-stamp counter ticks: on
// every current processor they come at a constant rate, the nominal clock,
// whatever the core's clock does. Fenced on both sides so that no earlier
// instruction is still running and no later one has started when it is read.
inline std::uint64_t ReadTickCounter()
{
    std::uint32_t lo = 0;
    std::uint32_t hi = 0;
    __asm__ volatile("lfence\n\t"
                     "rdtsc\n\t"
                     "lfence"
                     : "=a"(lo), "=d"(hi)
                     :
                     : "memory");
    return (static_cast<std::uint64_t>(hi) << 32) | lo;
}

// Converts value (below 10^18) with the x87 packed-BCD store: nine bytes of
// two digits each, least significant byte first, low nibble the less
// significant digit, and a tenth byte holding the sign.
inline void StorePackedBcd(std::uint64_t value, std::uint8_t (&out)[10])
{
    const std::int64_t integer = static_cast<std::int64_t>(value);
    __asm__ volatile("fildll %1\n\t"
                     "fbstp %0"
                     : "=m"(out)
                     : "m"(integer)
                     : "st");
}

#elif defined(MATMUL_CPU_AARCH64)

// Reads the virtual counter (CNTVCT_EL0), in system-counter ticks: a
// constant rate the system sets, CNTFRQ_EL0 per second (often tens of MHz up
// to 1 GHz), not the core's clock. The barriers keep the read in its place
// in the instruction stream.
inline std::uint64_t ReadTickCounter()
{
    std::uint64_t ticks = 0;
    __asm__ volatile("isb\n\t"
                     "mrs %0, cntvct_el0\n\t"
                     "isb"
                     : "=r"(ticks)
                     :
                     : "memory");
    return ticks;
}

#endif

// Puts the x87 unit back in the state a program starts in (FNINIT): the
// register stack empty, no exception flagged, all exceptions masked, 64-bit
// precision, rounding to nearest. A kernel may leave values on the stack (or
// be declared to return a float where floats come back there, on 32-bit x86,
// while its caller pops nothing); after eight the stack is full, and every
// later x87 load, such as the packed-BCD conversion's, yields the invalid
// value. Does nothing where there is no x87 unit.
inline void ResetX87()
{
#if defined(MATMUL_CPU_X86)
    __asm__ volatile("fninit");
#endif
}

#if defined(MATMUL_CPU_X86)

// The SSE control and status register: exception masks and flags, rounding
// mode, flush-to-zero and denormals-are-zero.
inline std::uint32_t ReadMxcsr()
{
    std::uint32_t value = 0;
    __asm__ volatile("stmxcsr %0" : "=m"(value));
    return value;
}

inline void WriteMxcsr(std::uint32_t value)
{
    __asm__ volatile("ldmxcsr %0" : : "m"(value));
}

// True when the processor has the SSE unit, and with it MXCSR: always on
// x86-64 and in a build that assumes SSE; otherwise CPUID says.
inline bool HasSse()
{
#if defined(__x86_64__) || defined(__SSE__)
    return true;
#else
    return CpuidAvailable() && Cpuid(0).eax >= 1 && (Cpuid(1).edx & (1u << 25)) != 0;
#endif
}

#elif defined(MATMUL_CPU_AARCH64)

// The floating-point control register: exception trap enables, rounding
// mode, flush-to-zero and default NaN.
inline std::uint64_t ReadFpcr()
{
    std::uint64_t value = 0;
    __asm__ volatile("mrs %0, fpcr" : "=r"(value));
    return value;
}

inline void WriteFpcr(std::uint64_t value)
{
    __asm__ volatile("msr fpcr, %0" : : "r"(value));
}

#endif

// The floating-point controls a kernel can leave changed: on x86 MXCSR
// (where there is an SSE unit) and the x87 control word, on AArch64 FPCR.
// A kernel that unmasks an exception there makes the caller's own
// arithmetic fault later; one that changes the rounding mode or flushes
// subnormals changes the caller's results.
struct FloatingPointControls {
#if defined(MATMUL_CPU_X86)
    bool hasSse = false;
    std::uint32_t mxcsr = 0;
    std::uint16_t x87 = 0;
#elif defined(MATMUL_CPU_AARCH64)
    std::uint64_t fpcr = 0;
#endif
};

inline FloatingPointControls SaveFloatingPointControls()
{
    FloatingPointControls saved;
#if defined(MATMUL_CPU_X86)
    saved.hasSse = HasSse();
    if (saved.hasSse) {
        saved.mxcsr = ReadMxcsr();
    }
    __asm__ volatile("fnstcw %0" : "=m"(saved.x87));
#elif defined(MATMUL_CPU_AARCH64)
    saved.fpcr = ReadFpcr();
#endif
    return saved;
}

// Puts the controls back as saved, with the x87 unit reset first (its
// stack emptied, as ResetX87 does). Does nothing where there are none.
inline void RestoreFloatingPointControls([[maybe_unused]] const FloatingPointControls &saved)
{
#if defined(MATMUL_CPU_X86)
    ResetX87();
    __asm__ volatile("fldcw %0" : : "m"(saved.x87));
    if (saved.hasSse) {
        WriteMxcsr(saved.mxcsr);
    }
#elif defined(MATMUL_CPU_AARCH64)
    WriteFpcr(saved.fpcr);
#endif
}

} // namespace cpu
