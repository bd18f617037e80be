// Mat_Mult_AVX_Pairs: result = a x b in single precision with AVX, two
// result rows in each 256-bit register, built for a chain through the second
// operand (next = m x previous). Each element is summed as a tree:
// (a0 * b0 + a1 * b1) + (a2 * b2 + a3 * b3), every product and sum rounded to
// single precision, so that every input is three dependent steps from the
// result (a product and two adds) and the four products start together:
// Mat_Mult_AVX2's layout, without its fused multiply-adds, whose longer
// latency sits on the path from b.
//
// The registers are 256-bit on purpose. In a chain the result goes through
// memory, and on Zen 5 a 512-bit store read back costs more than two 256-bit
// ones: whole, about two core cycles more; as the 128-bit rows a product
// needs of its second operand, about six more (see docs/kernel-notes.md).

#include "matmul_kernel.h"

#include <immintrin.h>

KERNEL_LIBRARY_ENTRY

KERNEL_DEFINE(Mat_Mult_AVX_Pairs)
{
    // Row c of b in both 128-bit halves, straight from memory: a broadcast
    // load needs no shuffle, and a 128-bit load inside a 256-bit store of the
    // call before is forwarded from it.
    const __m256 b0 = _mm256_broadcast_ps(reinterpret_cast<const __m128 *>(b->m[0]));
    const __m256 b1 = _mm256_broadcast_ps(reinterpret_cast<const __m128 *>(b->m[1]));
    const __m256 b2 = _mm256_broadcast_ps(reinterpret_cast<const __m128 *>(b->m[2]));
    const __m256 b3 = _mm256_broadcast_ps(reinterpret_cast<const __m128 *>(b->m[3]));
#pragma GCC unroll 2
    for (int i = 0; i < 4; i += 2) {
        // Rows i and i + 1 of a, read as the previous call stored them; each
        // element c is spread across its half by an in-lane shuffle, off the
        // path from b.
        const __m256 rows = _mm256_loadu_ps(a->m[i]);
        const __m256 p0 = _mm256_mul_ps(_mm256_permute_ps(rows, 0x00), b0);
        const __m256 p1 = _mm256_mul_ps(_mm256_permute_ps(rows, 0x55), b1);
        const __m256 p2 = _mm256_mul_ps(_mm256_permute_ps(rows, 0xAA), b2);
        const __m256 p3 = _mm256_mul_ps(_mm256_permute_ps(rows, 0xFF), b3);
        _mm256_storeu_ps(result->m[i], _mm256_add_ps(_mm256_add_ps(p0, p1), _mm256_add_ps(p2, p3)));
    }
    return 0;
}
