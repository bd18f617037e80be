// innerprod1_Wide: bit for bit what innerprod1 computes, with Advanced SIMD
// in double precision: b x a in row-major terms, each element's four
// products summed left to right in double and rounded once. A row of the
// result is four doubles in two registers: the first product, then the other
// three added by fused multiply-adds, which give the same doubles as
// separate multiplies and adds since a float times a float is exact in
// double.
//
// Rows are computed and stored from the first to the last: every row's sum
// starts with a product by row 0 of a, so when the result comes back as the
// next call's a, the row wanted first is the one stored first.
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

} // namespace

KERNEL_LIBRARY_ENTRY

KERNEL_DEFINE(innerprod1_Wide)
{
    const WideRow a0 = Widen(a->m[0]);
    const WideRow a1 = Widen(a->m[1]);
    const WideRow a2 = Widen(a->m[2]);
    const WideRow a3 = Widen(a->m[3]);
#pragma GCC unroll 4
    for (int i = 0; i < 4; ++i) {
        const WideRow bi = Widen(b->m[i]);
        float64x2_t lo = vmulq_laneq_f64(a0.lo, bi.lo, 0);
        float64x2_t hi = vmulq_laneq_f64(a0.hi, bi.lo, 0);
        lo = vfmaq_laneq_f64(lo, a1.lo, bi.lo, 1);
        hi = vfmaq_laneq_f64(hi, a1.hi, bi.lo, 1);
        lo = vfmaq_laneq_f64(lo, a2.lo, bi.hi, 0);
        hi = vfmaq_laneq_f64(hi, a2.hi, bi.hi, 0);
        lo = vfmaq_laneq_f64(lo, a3.lo, bi.hi, 1);
        hi = vfmaq_laneq_f64(hi, a3.hi, bi.hi, 1);
        vst1q_f32(result->m[i], vcvt_high_f32_f64(vcvt_f32_f64(lo), hi));
    }
    return reinterpret_cast<intptr_t>(result);
}
