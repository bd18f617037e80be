// Mat_Mult_AVX2: result = a x b in single precision with AVX2 and FMA, two
// result rows in each 256-bit register. Each pair of rows starts from the
// product with row 0 of b and adds rows 1, 2 and 3 by fused multiply-adds,
// in that order.
#include "matmul_kernel.h"

#include <immintrin.h>

KERNEL_LIBRARY_ENTRY

KERNEL_DEFINE(Mat_Mult_AVX2)
{
    // Row c of b in both 128-bit halves.
    const __m256 b0 = _mm256_broadcast_ps(reinterpret_cast<const __m128 *>(b->m[0]));
    const __m256 b1 = _mm256_broadcast_ps(reinterpret_cast<const __m128 *>(b->m[1]));
    const __m256 b2 = _mm256_broadcast_ps(reinterpret_cast<const __m128 *>(b->m[2]));
    const __m256 b3 = _mm256_broadcast_ps(reinterpret_cast<const __m128 *>(b->m[3]));
#pragma GCC unroll 2
    for (int i = 0; i < 4; i += 2) {
        // Rows i and i + 1 of a; each element c is spread across its half.
        const __m256 rows = _mm256_loadu_ps(a->m[i]);
        __m256 sum = _mm256_mul_ps(_mm256_permute_ps(rows, 0x00), b0);
        sum = _mm256_fmadd_ps(_mm256_permute_ps(rows, 0x55), b1, sum);
        sum = _mm256_fmadd_ps(_mm256_permute_ps(rows, 0xAA), b2, sum);
        sum = _mm256_fmadd_ps(_mm256_permute_ps(rows, 0xFF), b3, sum);
        _mm256_storeu_ps(result->m[i], sum);
    }
    return 0;
}
