// Mat_Mult_AVX2: result = a x b in single precision with AVX2 and FMA, two
// result rows in each 256-bit register. Each element is summed as a tree:
// fma(a1, b1, a0 * b0) + fma(a3, b3, a2 * b2), so that its last input is
// three dependent steps from the result (a product, a fused multiply-add, an
// add) rather than four in a row. The two products need only their operands;
// the fused multiply-adds wait for them, which leaves the shuffles that
// spread a[i][1] and a[i][3] out of the way of the first two.
#include "matmul_kernel.h"

#include <immintrin.h>

KERNEL_LIBRARY_ENTRY

KERNEL_DEFINE(Mat_Mult_AVX2)
{
    // Row c of b in both 128-bit halves, straight from memory: a broadcast
    // load needs no shuffle, and a 128-bit load from a result the previous
    // call stored as 256 bits is still forwarded from the store.
    const __m256 b0 = _mm256_broadcast_ps(reinterpret_cast<const __m128 *>(b->m[0]));
    const __m256 b1 = _mm256_broadcast_ps(reinterpret_cast<const __m128 *>(b->m[1]));
    const __m256 b2 = _mm256_broadcast_ps(reinterpret_cast<const __m128 *>(b->m[2]));
    const __m256 b3 = _mm256_broadcast_ps(reinterpret_cast<const __m128 *>(b->m[3]));
#pragma GCC unroll 2
    for (int i = 0; i < 4; i += 2) {
        // Rows i and i + 1 of a, read as the previous call stored them; each
        // element c is spread across its half by an in-lane shuffle.
        const __m256 rows = _mm256_loadu_ps(a->m[i]);
        const __m256 low = _mm256_fmadd_ps(_mm256_permute_ps(rows, 0x55), b1,
                                           _mm256_mul_ps(_mm256_permute_ps(rows, 0x00), b0));
        const __m256 high = _mm256_fmadd_ps(_mm256_permute_ps(rows, 0xFF), b3,
                                            _mm256_mul_ps(_mm256_permute_ps(rows, 0xAA), b2));
        _mm256_storeu_ps(result->m[i], _mm256_add_ps(low, high));
    }
    return 0;
}
