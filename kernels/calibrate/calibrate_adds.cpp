// The calibration kernel: a chain of CALIBRATION_ADDS integer adds, each
// needing the one before, so that one call takes that many core cycles on a
// core whose register add has a latency of one cycle. Timed through Test,
// its ticks per call (less the null kernel's) over CALIBRATION_ADDS give the
// time-stamp counter ticks one core cycle takes. The adds are written out
// in assembly so that no compiler can fold, vectorise or shorten them; each
// adds a register, not an immediate, so that no core can merge the chain at
// register renaming.
#include "matmul_kernel.h"

#include <cstdint>

#define CALIBRATION_TEXT(x) #x
#define CALIBRATION_REPEAT(x) CALIBRATION_TEXT(x)

KERNEL_LIBRARY_ENTRY

KERNEL_DEFINE(CALIBRATION_PROCEDURE)
{
    (void)result;
    (void)a;
    (void)b;
    std::uintptr_t sum = 0;
    const std::uintptr_t step = 1;
#if defined(__i386__) || defined(__x86_64__)
    __asm__ volatile(".rept " CALIBRATION_REPEAT(CALIBRATION_ADDS) "\n\t"
                     "add %1, %0\n\t"
                     ".endr"
                     : "+r"(sum)
                     : "r"(step));
#elif defined(__aarch64__)
    __asm__ volatile(".rept " CALIBRATION_REPEAT(CALIBRATION_ADDS) "\n\t"
                     "add %0, %0, %1\n\t"
                     ".endr"
                     : "+r"(sum)
                     : "r"(step));
#else
    // Elsewhere a loop: the empty statement keeps the sum in a register and
    // the adds in order, but the loop's own instructions may cost cycles of
    // their own, so the estimate is rougher here.
    for (int i = 0; i < CALIBRATION_ADDS; ++i) {
        sum += step;
        __asm__ volatile("" : "+r"(sum));
    }
#endif
    return static_cast<intptr_t>(sum);
}
