// Mat_Mult_AVX512: result = a x b in single precision, for AVX-512 cores,
// two result rows in each 256-bit register. Each element is summed as a
// tree: (a0 * b0 + a1 * b1) + (a2 * b2 + a3 * b3), every product and sum
// rounded to single precision, so that every input is three dependent steps
// from the result (a product and two adds) and the four products start
// together.
//
// The registers are 256-bit on purpose. In a chain the result goes through
// memory, and on Zen 5 a 512-bit store read back costs more than two 256-bit
// ones: whole, about two core cycles more; as the 128-bit rows a product
// needs of its second operand, about six more; and a 512-bit register joined
// from two 256-bit loads, or split for two 256-bit stores, delays the
// arithmetic between by several cycles. Every 512-bit form measured there
// was slower than Mat_Mult_AVX2 through the second operand (see the README's
// kernel notes).
//
// One of the four spreads of a row pair takes a variable control, the other
// three an immediate. In llvm-mca's Zen 4 model the immediate form takes one
// pipe cycle on two shuffle pipes, shared with the broadcast loads of b, and
// the variable form two on three pipes; one variable spread in four balances
// them best: 5.5 modelled cycles a call, where all immediate gives 6.0 (as
// Mat_Mult_AVX2) and two in four 5.7. On Zen 5 both forms measured alike.

#include "matmul_kernel.h"

#include <immintrin.h>

KERNEL_LIBRARY_ENTRY

namespace {

// The control for vpermilps that spreads element 2 of each row: it reads
// bits 1:0 of each element. The bits above differ from element to element
// so that the compiler loads the control whole rather than building it
// from one element with a broadcast, which would take a shuffle slot of its
// own.
alignas(32) const int kElement2[8] = {2, 6, 10, 14, 18, 22, 26, 30};

} // namespace

KERNEL_DEFINE(Mat_Mult_AVX512)
{
    // Row c of b in both 128-bit halves, straight from memory: a broadcast
    // load needs no shuffle, and a 128-bit load inside a 256-bit store of the
    // call before is forwarded from it.
    const __m256 b0 = _mm256_broadcast_ps(reinterpret_cast<const __m128 *>(b->m[0]));
    const __m256 b1 = _mm256_broadcast_ps(reinterpret_cast<const __m128 *>(b->m[1]));
    const __m256 b2 = _mm256_broadcast_ps(reinterpret_cast<const __m128 *>(b->m[2]));
    const __m256 b3 = _mm256_broadcast_ps(reinterpret_cast<const __m128 *>(b->m[3]));
    const __m256i element2 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(kElement2));
#pragma GCC unroll 2
    for (int i = 0; i < 4; i += 2) {
        // Rows i and i + 1 of a, read as the previous call stored them; each
        // element c is spread across its half by an in-lane shuffle.
        const __m256 rows = _mm256_loadu_ps(a->m[i]);
        const __m256 p0 = _mm256_mul_ps(_mm256_permute_ps(rows, 0x00), b0);
        const __m256 p1 = _mm256_mul_ps(_mm256_permute_ps(rows, 0x55), b1);
        const __m256 p2 = _mm256_mul_ps(_mm256_permutevar_ps(rows, element2), b2);
        const __m256 p3 = _mm256_mul_ps(_mm256_permute_ps(rows, 0xFF), b3);
        _mm256_storeu_ps(result->m[i], _mm256_add_ps(_mm256_add_ps(p0, p1), _mm256_add_ps(p2, p3)));
    }
    return 0;
}
