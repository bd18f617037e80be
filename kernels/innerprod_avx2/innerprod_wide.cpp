// innerprod1_Wide: bit for bit what innerprod1 computes, with AVX2 and FMA:
// b x a in row-major terms, each element's four products summed left to
// right in double and rounded once. A row of the result is four doubles:
// the first product, then the other three added by fused multiply-adds,
// which give the same doubles as separate multiplies and adds since a float
// times a float is exact in double. Rows are written from the last to the
// first.
#include "matmul_kernel.h"

#include <immintrin.h>

KERNEL_LIBRARY_ENTRY

KERNEL_DEFINE(innerprod1_Wide)
{
    const __m256d a0 = _mm256_cvtps_pd(_mm_loadu_ps(a->m[0]));
    const __m256d a1 = _mm256_cvtps_pd(_mm_loadu_ps(a->m[1]));
    const __m256d a2 = _mm256_cvtps_pd(_mm_loadu_ps(a->m[2]));
    const __m256d a3 = _mm256_cvtps_pd(_mm_loadu_ps(a->m[3]));
    // b widened once; its elements are then broadcast straight from memory.
    // No over-aligned locals: GCC cannot realign the stack in 64-bit Windows code.
    double wideB[4][4];
#pragma GCC unroll 4
    for (int i = 0; i < 4; ++i) {
        _mm256_storeu_pd(wideB[i], _mm256_cvtps_pd(_mm_loadu_ps(b->m[i])));
    }
#pragma GCC unroll 4
    for (int i = 3; i >= 0; --i) {
        __m256d sum = _mm256_mul_pd(_mm256_broadcast_sd(&wideB[i][0]), a0);
        sum = _mm256_fmadd_pd(_mm256_broadcast_sd(&wideB[i][1]), a1, sum);
        sum = _mm256_fmadd_pd(_mm256_broadcast_sd(&wideB[i][2]), a2, sum);
        sum = _mm256_fmadd_pd(_mm256_broadcast_sd(&wideB[i][3]), a3, sum);
        _mm_storeu_ps(result->m[i], _mm256_cvtpd_ps(sum));
    }
    return reinterpret_cast<intptr_t>(result);
}
