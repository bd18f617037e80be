// Mat_Mult_AVX512: result = a x b in single precision with AVX-512F, the
// whole matrix in one 512-bit register: each 128-bit lane is one result
// row, started from the product with row 0 of b, then rows 1, 2 and 3 added
// by fused multiply-adds, in that order.
#include "matmul_kernel.h"

// GCC 12's AVX-512 headers start some intrinsics from a deliberately
// uninitialised register and warn about it at every use.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

KERNEL_LIBRARY_ENTRY

KERNEL_DEFINE(Mat_Mult_AVX512)
{
    const __m512 rows = _mm512_loadu_ps(a->m);
    // Row c of b in all four lanes.
    const __m512 b0 = _mm512_broadcast_f32x4(_mm_loadu_ps(b->m[0]));
    const __m512 b1 = _mm512_broadcast_f32x4(_mm_loadu_ps(b->m[1]));
    const __m512 b2 = _mm512_broadcast_f32x4(_mm_loadu_ps(b->m[2]));
    const __m512 b3 = _mm512_broadcast_f32x4(_mm_loadu_ps(b->m[3]));
    __m512 sum = _mm512_mul_ps(_mm512_permute_ps(rows, 0x00), b0);
    sum = _mm512_fmadd_ps(_mm512_permute_ps(rows, 0x55), b1, sum);
    sum = _mm512_fmadd_ps(_mm512_permute_ps(rows, 0xAA), b2, sum);
    sum = _mm512_fmadd_ps(_mm512_permute_ps(rows, 0xFF), b3, sum);
    _mm512_storeu_ps(result->m, sum);
    return 0;
}

#pragma GCC diagnostic pop
