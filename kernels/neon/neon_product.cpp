// Mat_Mult_NEON: result = a x b in single precision with Advanced SIMD, one
// result row per register. Each element is summed as a tree:
// fma(a1, b1, a0 * b0) + fma(a3, b3, a2 * b2), products and fused
// multiply-adds by lane, so that its last input is three dependent steps from
// the result (a product, a fused multiply-add, an add) rather than four in a
// row. The by-lane forms take a[i][c] straight from the loaded row, with no
// instruction to spread it.
#include "matmul_kernel.h"

#include <arm_neon.h>

KERNEL_LIBRARY_ENTRY

KERNEL_DEFINE(Mat_Mult_NEON)
{
    const float32x4_t b0 = vld1q_f32(b->m[0]);
    const float32x4_t b1 = vld1q_f32(b->m[1]);
    const float32x4_t b2 = vld1q_f32(b->m[2]);
    const float32x4_t b3 = vld1q_f32(b->m[3]);
#pragma GCC unroll 4
    for (int i = 0; i < 4; ++i) {
        const float32x4_t row = vld1q_f32(a->m[i]);
        const float32x4_t low = vfmaq_laneq_f32(vmulq_laneq_f32(b0, row, 0), b1, row, 1);
        const float32x4_t high = vfmaq_laneq_f32(vmulq_laneq_f32(b2, row, 2), b3, row, 3);
        vst1q_f32(result->m[i], vaddq_f32(low, high));
    }
    return 0;
}
