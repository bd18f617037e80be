// Mat_Mult_Wide: bit for bit what Mat_Mult computes, with Advanced SIMD in
// double precision. For c = 0..3 each result row gets the products of
// a[i][c] with row c of b added, and the sums are rounded to single
// precision after each step, exactly as Mat_Mult's multiply-adds onto a
// cleared result.
//
// The first step is one single-precision fused multiply-add onto +0: a float
// times a float is exact in double, so Mat_Mult's double sum with +0 is that
// exact product (a zero product becomes +0), and rounding it to single is
// what the fused multiply-add does, underflow to -0 included. It needs none
// of the conversions the later steps make. Those add in double, two lanes a
// register, where the product is again exact, so the fused multiply-add
// gives the same double as a multiply followed by an add.
#include "matmul_kernel.h"

#include <arm_neon.h>

namespace {

struct WideRow {
    float64x2_t lo; // elements 0 and 1
    float64x2_t hi; // elements 2 and 3
};

WideRow Widen(float32x4_t v)
{
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
    const float32x4_t b0 = vld1q_f32(b->m[0]);
    const WideRow b1 = Widen(vld1q_f32(b->m[1]));
    const WideRow b2 = Widen(vld1q_f32(b->m[2]));
    const WideRow b3 = Widen(vld1q_f32(b->m[3]));
#pragma GCC unroll 4
    for (int i = 0; i < 4; ++i) {
        const float32x4_t narrow = vld1q_f32(a->m[i]);
        const WideRow ai = Widen(narrow);
        float32x4_t row = vfmaq_laneq_f32(vdupq_n_f32(0.0f), b0, narrow, 0);
        row = MultiplyAddRounded<1>(row, b1, ai.lo);
        row = MultiplyAddRounded<0>(row, b2, ai.hi);
        row = MultiplyAddRounded<1>(row, b3, ai.hi);
        vst1q_f32(result->m[i], row);
    }
    return 16;
}
