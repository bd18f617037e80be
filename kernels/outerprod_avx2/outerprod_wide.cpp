// Mat_Mult_Wide: bit for bit what Mat_Mult computes, with AVX2 and FMA.
// Each result row is held as four doubles; for c = 0..3 the products of
// a[i][c] with row c of b are added in double and the sums rounded to single
// precision, exactly as Mat_Mult's multiply-adds onto a cleared result.
// A float times a float is exact in double, so the fused multiply-add gives
// the same double as a multiply followed by an add.
#include "matmul_kernel.h"

#include <immintrin.h>

KERNEL_LIBRARY_ENTRY

KERNEL_DEFINE(Mat_Mult_Wide)
{
    const __m256d b0 = _mm256_cvtps_pd(_mm_loadu_ps(b->m[0]));
    const __m256d b1 = _mm256_cvtps_pd(_mm_loadu_ps(b->m[1]));
    const __m256d b2 = _mm256_cvtps_pd(_mm_loadu_ps(b->m[2]));
    const __m256d b3 = _mm256_cvtps_pd(_mm_loadu_ps(b->m[3]));
    // a widened once; its elements are then broadcast straight from memory,
    // which leaves the shuffle port to the conversions the roundings need.
    // No over-aligned locals: GCC cannot realign the stack in 64-bit Windows code.
    double wideA[4][4];
#pragma GCC unroll 4
    for (int i = 0; i < 4; ++i) {
        _mm256_storeu_pd(wideA[i], _mm256_cvtps_pd(_mm_loadu_ps(a->m[i])));
    }
#pragma GCC unroll 4
    for (int i = 0; i < 4; ++i) {
        // Adding the first product to +0 keeps Mat_Mult's sign of a zero.
        __m128 row = _mm256_cvtpd_ps(_mm256_fmadd_pd(_mm256_broadcast_sd(&wideA[i][0]), b0, _mm256_setzero_pd()));
        row = _mm256_cvtpd_ps(_mm256_fmadd_pd(_mm256_broadcast_sd(&wideA[i][1]), b1, _mm256_cvtps_pd(row)));
        row = _mm256_cvtpd_ps(_mm256_fmadd_pd(_mm256_broadcast_sd(&wideA[i][2]), b2, _mm256_cvtps_pd(row)));
        row = _mm256_cvtpd_ps(_mm256_fmadd_pd(_mm256_broadcast_sd(&wideA[i][3]), b3, _mm256_cvtps_pd(row)));
        _mm_storeu_ps(result->m[i], row);
    }
    return 16;
}
