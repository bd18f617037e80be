// Mat_Mult_AVX_Latency: result = a x b in single precision with AVX, built
// for the shortest path from either operand to the result, for code that
// feeds each product into the next (a chain of transforms, a matrix power).
// One result row per 128-bit register, each element summed as a tree:
// (a0 * b0 + a1 * b1) + (a2 * b2 + a3 * b3), every product and sum rounded to
// single precision, so that every input is three dependent steps from the
// result: a product and two adds.
//
// No instruction on either operand's path moves data between lanes: each
// a[i][c] comes spread across a register by a broadcast load, and each row
// of b by a plain load, both straight from the 128-bit pieces the previous
// call stored. Result row i depends on row i of a alone. The price is twice
// the multiply instructions of Mat_Mult_AVX2 (128-bit ones, not 256-bit),
// which costs throughput in independent calls.
#include "matmul_kernel.h"

#include <immintrin.h>

KERNEL_LIBRARY_ENTRY

KERNEL_DEFINE(Mat_Mult_AVX_Latency)
{
    const __m128 b0 = _mm_loadu_ps(b->m[0]);
    const __m128 b1 = _mm_loadu_ps(b->m[1]);
    const __m128 b2 = _mm_loadu_ps(b->m[2]);
    const __m128 b3 = _mm_loadu_ps(b->m[3]);
#pragma GCC unroll 4
    for (int i = 0; i < 4; ++i) {
        const __m128 p0 = _mm_mul_ps(_mm_broadcast_ss(&a->m[i][0]), b0);
        const __m128 p1 = _mm_mul_ps(_mm_broadcast_ss(&a->m[i][1]), b1);
        const __m128 p2 = _mm_mul_ps(_mm_broadcast_ss(&a->m[i][2]), b2);
        const __m128 p3 = _mm_mul_ps(_mm_broadcast_ss(&a->m[i][3]), b3);
        _mm_storeu_ps(result->m[i], _mm_add_ps(_mm_add_ps(p0, p1), _mm_add_ps(p2, p3)));
    }
    return 0;
}
