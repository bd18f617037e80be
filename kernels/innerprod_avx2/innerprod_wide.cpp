// innerprod1_Wide: bit for bit what innerprod1 computes, with AVX2 and FMA:
// b x a in row-major terms, each element's four products summed left to
// right in double and rounded once. A row of the result is four doubles:
// the first product, then the other three added by fused multiply-adds,
// which give the same doubles as separate multiplies and adds since a float
// times a float is exact in double.
//
// Both operands are widened once, in registers; each element of b is spread
// across a register by a lane permute of its widened row, so nothing goes
// through memory but the operands and the result.
//
// Rows are computed and stored from the first to the last. Every row of the
// result starts with a product by row 0 of a and ends with row 3, so when
// the result comes back as the next call's a, row 0 is the one wanted first:
// stored first, it is there first, and the later rows arrive as the fused
// multiply-adds reach them.
#include "matmul_kernel.h"

#include <immintrin.h>

namespace {

__m256d Widen(const float *row)
{
    return _mm256_cvtps_pd(_mm_loadu_ps(row));
}

} // namespace

KERNEL_LIBRARY_ENTRY

KERNEL_DEFINE(innerprod1_Wide)
{
    const __m256d a0 = Widen(a->m[0]);
    const __m256d a1 = Widen(a->m[1]);
    const __m256d a2 = Widen(a->m[2]);
    const __m256d a3 = Widen(a->m[3]);
#pragma GCC unroll 4
    for (int i = 0; i < 4; ++i) {
        const __m256d row = Widen(b->m[i]);
        __m256d sum = _mm256_mul_pd(_mm256_permute4x64_pd(row, 0x00), a0);
        sum = _mm256_fmadd_pd(_mm256_permute4x64_pd(row, 0x55), a1, sum);
        sum = _mm256_fmadd_pd(_mm256_permute4x64_pd(row, 0xAA), a2, sum);
        sum = _mm256_fmadd_pd(_mm256_permute4x64_pd(row, 0xFF), a3, sum);
        _mm_storeu_ps(result->m[i], _mm256_cvtpd_ps(sum));
    }
    return reinterpret_cast<intptr_t>(result);
}
