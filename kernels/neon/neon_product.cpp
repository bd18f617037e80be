// Mat_Mult_NEON: result = a x b in single precision with Advanced SIMD, one
// result row per register. Each row starts from the product of a[i][0] with
// row 0 of b and adds rows 1, 2 and 3, scaled by a[i][1], a[i][2] and
// a[i][3], by fused multiply-adds by lane, in that order.
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
        float32x4_t sum = vmulq_laneq_f32(b0, row, 0);
        sum = vfmaq_laneq_f32(sum, b1, row, 1);
        sum = vfmaq_laneq_f32(sum, b2, row, 2);
        sum = vfmaq_laneq_f32(sum, b3, row, 3);
        vst1q_f32(result->m[i], sum);
    }
    return 0;
}
