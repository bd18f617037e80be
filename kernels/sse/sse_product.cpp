// Mat_Mult_SSE: result = a x b in single precision with SSE. Each result row
// is the rows of b weighted by that row of a, summed over c = 0..3 in order,
// every product and every sum rounded to single precision.
#include "matmul_kernel.h"

#include <xmmintrin.h>

KERNEL_LIBRARY_ENTRY

KERNEL_DEFINE(Mat_Mult_SSE)
{
    const __m128 b0 = _mm_loadu_ps(b->m[0]);
    const __m128 b1 = _mm_loadu_ps(b->m[1]);
    const __m128 b2 = _mm_loadu_ps(b->m[2]);
    const __m128 b3 = _mm_loadu_ps(b->m[3]);
#pragma GCC unroll 4
    for (int i = 0; i < 4; ++i) {
        const __m128 row = _mm_loadu_ps(a->m[i]);
        __m128 sum = _mm_mul_ps(_mm_shuffle_ps(row, row, 0x00), b0);
        sum = _mm_add_ps(sum, _mm_mul_ps(_mm_shuffle_ps(row, row, 0x55), b1));
        sum = _mm_add_ps(sum, _mm_mul_ps(_mm_shuffle_ps(row, row, 0xAA), b2));
        sum = _mm_add_ps(sum, _mm_mul_ps(_mm_shuffle_ps(row, row, 0xFF), b3));
        _mm_storeu_ps(result->m[i], sum);
    }
    return 0;
}
