// Mat_Mult_AVX512: result = a x b in single precision with AVX-512F, for
// many independent products: the whole matrix in one 512-bit register, each
// 128-bit lane one result row. One load of a, four broadcast loads of b's
// rows, four in-lane shuffles, four products, three adds and one store: 19
// instructions up to its return, fewer than any other kernel here that
// computes a product. Each element is summed as a tree:
// (a0 * b0 + a1 * b1) + (a2 * b2 + a3 * b3), every product and sum rounded
// to single precision.
//
// In a chain it is slower than Mat_Mult_AVX_Pairs, which sums alike in
// 256-bit registers: the next call reads its result back from a 512-bit
// store, which costs more than from 256-bit ones on Zen 5, above all as the
// 128-bit rows of a second operand (see docs/kernel-notes.md).
#include "matmul_kernel.h"

// GCC 12's AVX-512 headers start some intrinsics from a deliberately
// uninitialised register and warn about it at every use.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

KERNEL_LIBRARY_ENTRY

KERNEL_DEFINE(Mat_Mult_AVX512)
{
    // a in one load; element c of each row is spread across its lane by an
    // in-lane shuffle.
    const __m512 rows = _mm512_loadu_ps(a->m);
    // Row c of b in all four lanes, straight from memory: a broadcast load
    // needs no shuffle.
    const __m512 b0 = _mm512_broadcast_f32x4(_mm_loadu_ps(b->m[0]));
    const __m512 b1 = _mm512_broadcast_f32x4(_mm_loadu_ps(b->m[1]));
    const __m512 b2 = _mm512_broadcast_f32x4(_mm_loadu_ps(b->m[2]));
    const __m512 b3 = _mm512_broadcast_f32x4(_mm_loadu_ps(b->m[3]));
    const __m512 p0 = _mm512_mul_ps(_mm512_permute_ps(rows, 0x00), b0);
    const __m512 p1 = _mm512_mul_ps(_mm512_permute_ps(rows, 0x55), b1);
    const __m512 p2 = _mm512_mul_ps(_mm512_permute_ps(rows, 0xAA), b2);
    const __m512 p3 = _mm512_mul_ps(_mm512_permute_ps(rows, 0xFF), b3);
    _mm512_storeu_ps(result->m, _mm512_add_ps(_mm512_add_ps(p0, p1), _mm512_add_ps(p2, p3)));
    return 0;
}

#pragma GCC diagnostic pop
