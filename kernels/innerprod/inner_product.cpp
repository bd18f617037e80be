// innerprod1: each element one unrolled four-term inner product, summed left
// to right in double and rounded once to single precision. With the
// matrices read row-major it computes b x a (a x b when all three are read
// column-major). Elements are written from [3][3] down to [0][0]; the result
// is never read, so it need not be cleared.
#include "matmul_kernel.h"

KERNEL_LIBRARY_ENTRY

KERNEL_DEFINE(innerprod1)
{
    // Each operand element is widened once; every element of the result is
    // then one straight-line four-term sum of the widened values.
    double x[4][4];
    double y[4][4];
#pragma GCC unroll 16
    for (int k = 0; k < 16; ++k) {
        x[k / 4][k % 4] = static_cast<double>(a->m[k / 4][k % 4]);
        y[k / 4][k % 4] = static_cast<double>(b->m[k / 4][k % 4]);
    }
#pragma GCC unroll 4
    for (int i = 3; i >= 0; --i) {
#pragma GCC unroll 4
        for (int j = 3; j >= 0; --j) {
            const double sum = y[i][0] * x[0][j] + y[i][1] * x[1][j] + y[i][2] * x[2][j] + y[i][3] * x[3][j];
            result->m[i][j] = static_cast<float>(sum);
        }
    }
    return reinterpret_cast<intptr_t>(result);
}
