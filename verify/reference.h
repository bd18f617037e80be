// What a 4x4 product must be, element by element, and the ways a kernel may
// round it. The exact values come from wide integer arithmetic, never from
// the arithmetic a kernel uses; the rounding models spell out each kernel
// family's steps. Both Verify and the tests read them from here.
#pragma once

#include "exact_sum.h"
#include "matmul_kernel.h"
#include "product.h"

#include <array>
#include <optional>
#include <string_view>

// One element's exact value and the error a correct kernel may make in it.
struct ElementReference {
    // The IEEE result when a NaN or an infinity reaches the element (a NaN
    // input, 0 * inf, inf - inf); otherwise the exact value rounded once.
    float value;
    bool special;
    // For finite elements: the allowed error, 4u * sum |x[i][c] * y[c][j]|
    // (u = 2^-24) plus 2^-147 for products and sums that fall into the
    // subnormals, where no relative bound holds.
    double bound;

    // The exact sum (finite elements only).
    ExactSum exact;

    // |computed - exact| in units of the bound: infinity when computed is
    // not finite, 0 when it is exact. Finite elements only.
    double ErrorUnits(float computed) const;
};

ElementReference ReferenceElement(const Matrix4 &x, const Matrix4 &y, int i, int j);

// The rounding models, each the exact steps of one way to compute an
// element's sum over c = 0..3.
enum class RoundingModel {
    OuterProduct,     // each multiply-add in double, rounded to single after each, from +0
    InnerProduct,     // the four products summed left to right in double, rounded once
    FloatMulAdd,      // single precision: every product and every sum rounded
    FloatFma,         // single precision: the first product, then fused multiply-adds
    FloatPairwise,    // single precision, as a tree: (p0 + p1) + (p2 + p3), every product and sum rounded
    FloatFmaPairwise, // single precision, as a tree: fma(x1, y1, p0) + fma(x3, y3, p2), p0 and p2 rounded
    CorrectlyRounded, // the exact sum rounded once
};
inline constexpr std::array kRoundingModels = {
    RoundingModel::OuterProduct,  RoundingModel::InnerProduct,     RoundingModel::FloatMulAdd,
    RoundingModel::FloatFma,      RoundingModel::FloatPairwise,    RoundingModel::FloatFmaPairwise,
    RoundingModel::CorrectlyRounded};
// "outerprod", "innerprod", "float-mul-add", "float-fma", "float-pairwise",
// "float-fma-pairwise", "correctly-rounded".
std::string_view RoundingModelName(RoundingModel model);
std::optional<RoundingModel> RoundingModelNamed(std::string_view name);

// x * y with the model's rounding steps.
Matrix4 ModelProduct(RoundingModel model, const Matrix4 &x, const Matrix4 &y);

// x * y + z rounded once to single precision (IEEE fused multiply-add).
float FusedMultiplyAdd(float x, float y, float z);

// Two results equal bit for bit, where any NaN equals any NaN: the sign and
// payload of a NaN differ between processors and say nothing of the sum.
bool SameResult(float computed, float expected);
