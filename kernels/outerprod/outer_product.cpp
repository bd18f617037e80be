// Mat_Mult: a x b accumulated as four outer products, column c of a times
// row c of b for c = 0..3, onto a cleared result. Every multiply-add is
// formed in double and rounded to single precision when it is stored, so
// each element passes through single precision four times.
#include "matmul_kernel.h"

#include <cstring>

namespace {

// The current column of a. Because the kernel keeps it here, Mat_Mult is not
// reentrant: two threads may not call it at the same time.
float g_column[4];

// dest[r * width + j] = vector[r] * row[j] + dest[r * width + j] for every r
// below rows and j below width; the same row serves every r. Both counts
// must be at least 1. Returns the number of multiply-adds.
int Mat_Accum(float *__restrict dest, const float *__restrict vector, const float *__restrict row, int width,
              int rows)
{
    const float *v = vector;
    int r = rows;
#pragma GCC unroll 4
    do {
        const float *x = row;
        int j = width;
#pragma GCC unroll 4
        do {
            *dest = static_cast<float>(static_cast<double>(*v) * static_cast<double>(*x) +
                                       static_cast<double>(*dest));
            ++dest;
            ++x;
        } while (--j != 0);
        ++v;
    } while (--r != 0);
    return rows * width;
}

} // namespace

KERNEL_LIBRARY_ENTRY

KERNEL_DEFINE(Mat_Mult)
{
    std::memset(result, 0, sizeof *result);
    int madds = 0;
#pragma GCC unroll 4
    for (int c = 0; c < 4; ++c) {
        for (int r = 0; r < 4; ++r) {
            g_column[r] = a->m[r][c];
        }
        madds = Mat_Accum(&result->m[0][0], g_column, b->m[c], 4, 4);
        // Each outer product's sums go to the result before the next one
        // starts. Left to itself the compiler keeps all sixteen in registers
        // across the steps and, out of registers, spills them to general
        // registers, which costs more than the stores and reloads.
        __asm__ volatile("" ::: "memory");
    }
    return madds;
}
