// Mat_Mult_Wide: bit for bit what Mat_Mult computes, with Advanced SIMD in
// double precision. Each result row is held as four doubles in two
// registers; for c = 0..3 the products of a[i][c] with row c of b are added
// in double and the sums rounded to single precision, exactly as Mat_Mult's
// multiply-adds onto a cleared result. A float times a float is exact in
// double, so the fused multiply-add gives the same double as a multiply
// followed by an add.
#include "matmul_kernel.h"

#include <arm_neon.h>

namespace {

struct WideRow {
    float64x2_t lo; // elements 0 and 1
    float64x2_t hi; // elements 2 and 3
};

WideRow Widen(const float *row)
{
    const float32x4_t v = vld1q_f32(row);
    return {vcvt_f64_f32(vget_low_f32(v)), vcvt_high_f64_f32(v)};
}

float32x4_t Narrow(float64x2_t lo, float64x2_t hi)
{
    return vcvt_high_f32_f64(vcvt_f32_f64(lo), hi);
}

// sum + scale * row for the four elements, rounded to single precision.
template <int Lane>
float32x4_t MultiplyAddRounded(float32x4_t sum, const WideRow &row, float64x2_t scale)
{
    const float64x2_t lo = vfmaq_laneq_f64(vcvt_f64_f32(vget_low_f32(sum)), row.lo, scale, Lane);
    const float64x2_t hi = vfmaq_laneq_f64(vcvt_high_f64_f32(sum), row.hi, scale, Lane);
    return Narrow(lo, hi);
}

} // namespace

KERNEL_LIBRARY_ENTRY

KERNEL_DEFINE(Mat_Mult_Wide)
{
    const WideRow b0 = Widen(b->m[0]);
    const WideRow b1 = Widen(b->m[1]);
    const WideRow b2 = Widen(b->m[2]);
    const WideRow b3 = Widen(b->m[3]);
#pragma GCC unroll 4
    for (int i = 0; i < 4; ++i) {
        const WideRow ai = Widen(a->m[i]);
        // Adding the first product to +0 keeps Mat_Mult's sign of a zero.
        float32x4_t row = MultiplyAddRounded<0>(vdupq_n_f32(0.0f), b0, ai.lo);
        row = MultiplyAddRounded<1>(row, b1, ai.lo);
        row = MultiplyAddRounded<0>(row, b2, ai.hi);
        row = MultiplyAddRounded<1>(row, b3, ai.hi);
        vst1q_f32(result->m[i], row);
    }
    return 16;
}
