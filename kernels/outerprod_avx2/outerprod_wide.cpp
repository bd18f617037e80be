// Mat_Mult_Wide: bit for bit what Mat_Mult computes, with AVX2 and FMA.
// For c = 0..3 each result row gets the products of a[i][c] with row c of b
// added, and the sums are rounded to single precision after each step,
// exactly as Mat_Mult's multiply-adds onto a cleared result.
//
// The first step is one single-precision fused multiply-add onto +0: a float
// times a float is exact in double, so Mat_Mult's double sum with +0 is that
// exact product (a zero product becomes +0), and rounding it to single is
// what the fused multiply-add does, underflow to -0 included. The later
// steps add in double, where the product is again exact, so the fused
// multiply-add there gives the same double as a multiply followed by an add.
//
// Conversions between single and double set this kernel's pace in
// independent calls. The first step needs none; each later a[i][c] is
// widened as a broadcast, one conversion, in registers (a lane permute of a
// widened row costs more). The steps go in order of c across all four
// rows, so that the rows' independent chains interleave.
#include "matmul_kernel.h"

#include <immintrin.h>

namespace {

__m256d Widen(const float *row)
{
    return _mm256_cvtps_pd(_mm_loadu_ps(row));
}

// a[i][c] in all four double lanes.
__m256d WidenSpread(const float *element)
{
    return _mm256_cvtps_pd(_mm_broadcast_ss(element));
}

} // namespace

KERNEL_LIBRARY_ENTRY

KERNEL_DEFINE(Mat_Mult_Wide)
{
    const __m128 b0 = _mm_loadu_ps(b->m[0]);
    const __m256d wideB[3] = {Widen(b->m[1]), Widen(b->m[2]), Widen(b->m[3])};
    __m128 rows[4];
#pragma GCC unroll 4
    for (int i = 0; i < 4; ++i) {
        rows[i] = _mm_fmadd_ps(_mm_broadcast_ss(&a->m[i][0]), b0, _mm_setzero_ps());
    }
#pragma GCC unroll 3
    for (int c = 1; c < 4; ++c) {
#pragma GCC unroll 4
        for (int i = 0; i < 4; ++i) {
            const __m256d sum = _mm256_fmadd_pd(WidenSpread(&a->m[i][c]), wideB[c - 1], _mm256_cvtps_pd(rows[i]));
            rows[i] = _mm256_cvtpd_ps(sum);
        }
    }
#pragma GCC unroll 4
    for (int i = 0; i < 4; ++i) {
        _mm_storeu_ps(result->m[i], rows[i]);
    }
    return 16;
}
