// Built with floating-point contraction off: every model's multiply and add
// must round where it says it does, never fused by the compiler.
#include "reference.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace {

constexpr double kUnitRoundoff = 0x1p-24;
// What products and sums that fall into the subnormals may lose, in all.
constexpr double kUnderflowAllowance = 0x1p-147;

bool IsNegativeZero(double x)
{
    return x == 0 && std::signbit(x);
}

} // namespace

ElementReference ReferenceElement(const Matrix4 &x, const Matrix4 &y, int i, int j)
{
    bool nan = false;
    bool positiveInfinity = false;
    bool negativeInfinity = false;
    bool allNegativeZero = true;
    ElementReference ref{0.0f, false, 0.0, ExactSum{}};
    ExactSum magnitude;
    for (int c = 0; c < 4; ++c) {
        // Exact in double for finite operands; IEEE for the rest.
        const double p = static_cast<double>(x.m[i][c]) * static_cast<double>(y.m[c][j]);
        nan = nan || std::isnan(p);
        positiveInfinity = positiveInfinity || p == std::numeric_limits<double>::infinity();
        negativeInfinity = negativeInfinity || p == -std::numeric_limits<double>::infinity();
        allNegativeZero = allNegativeZero && IsNegativeZero(p);
        if (std::isfinite(p)) {
            const ExactSum term = ExactSum::Product(x.m[i][c], y.m[c][j]);
            ref.exact += term;
            magnitude += term.Abs();
        }
    }
    if (nan || (positiveInfinity && negativeInfinity)) {
        ref.value = std::numeric_limits<float>::quiet_NaN();
        ref.special = true;
    } else if (positiveInfinity || negativeInfinity) {
        ref.value = positiveInfinity ? std::numeric_limits<float>::infinity()
                                     : -std::numeric_limits<float>::infinity();
        ref.special = true;
    } else if (ref.exact.IsZero()) {
        // An exact zero is -0 only when every term is -0, as in IEEE sums.
        ref.value = allNegativeZero ? -0.0f : 0.0f;
    } else {
        ref.value = ref.exact.RoundToFloat();
    }
    ref.bound = 4 * kUnitRoundoff * magnitude.ToDouble() + kUnderflowAllowance;
    return ref;
}

double ElementReference::ErrorUnits(float computed) const
{
    if (!std::isfinite(computed)) {
        return std::numeric_limits<double>::infinity();
    }
    ExactSum error = ExactSum::Of(computed);
    error -= exact;
    return std::fabs(error.ToDouble()) / bound;
}

std::string_view RoundingModelName(RoundingModel model)
{
    switch (model) {
    case RoundingModel::OuterProduct:
        return "outerprod";
    case RoundingModel::InnerProduct:
        return "innerprod";
    case RoundingModel::FloatMulAdd:
        return "float-mul-add";
    case RoundingModel::FloatFma:
        return "float-fma";
    case RoundingModel::FloatPairwise:
        return "float-pairwise";
    case RoundingModel::FloatFmaPairwise:
        return "float-fma-pairwise";
    case RoundingModel::CorrectlyRounded:
        return "correctly-rounded";
    }
    return "";
}

std::optional<RoundingModel> RoundingModelNamed(std::string_view name)
{
    for (RoundingModel model : kRoundingModels) {
        if (RoundingModelName(model) == name) {
            return model;
        }
    }
    return std::nullopt;
}

float FusedMultiplyAdd(float x, float y, float z)
{
    if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(z)) {
        // The product is exact in double, so one double sum gives the IEEE
        // infinity or NaN.
        return static_cast<float>(static_cast<double>(x) * static_cast<double>(y) + static_cast<double>(z));
    }
    ExactSum sum = ExactSum::Product(x, y);
    sum += ExactSum::Of(z);
    if (sum.IsZero()) {
        // Zero terms of one sign keep it; anything else sums to +0.
        const bool productNegativeZero = (x == 0 || y == 0) && (std::signbit(x) != std::signbit(y));
        return productNegativeZero && IsNegativeZero(z) ? -0.0f : 0.0f;
    }
    return sum.RoundToFloat();
}

namespace {

float ModelElement(RoundingModel model, const Matrix4 &x, const Matrix4 &y, int i, int j)
{
    switch (model) {
    case RoundingModel::OuterProduct: {
        float sum = 0.0f;
        for (int c = 0; c < 4; ++c) {
            sum = static_cast<float>(static_cast<double>(x.m[i][c]) * static_cast<double>(y.m[c][j]) +
                                     static_cast<double>(sum));
        }
        return sum;
    }
    case RoundingModel::InnerProduct: {
        double sum = static_cast<double>(x.m[i][0]) * static_cast<double>(y.m[0][j]);
        for (int c = 1; c < 4; ++c) {
            sum += static_cast<double>(x.m[i][c]) * static_cast<double>(y.m[c][j]);
        }
        return static_cast<float>(sum);
    }
    case RoundingModel::FloatMulAdd: {
        float sum = x.m[i][0] * y.m[0][j];
        for (int c = 1; c < 4; ++c) {
            const float product = x.m[i][c] * y.m[c][j];
            sum = sum + product;
        }
        return sum;
    }
    case RoundingModel::FloatFma: {
        float sum = x.m[i][0] * y.m[0][j];
        for (int c = 1; c < 4; ++c) {
            sum = FusedMultiplyAdd(x.m[i][c], y.m[c][j], sum);
        }
        return sum;
    }
    case RoundingModel::FloatPairwise: {
        // Two independent pairs, then their sum: three dependent steps where
        // the sums in order take four.
        float product[4];
        for (int c = 0; c < 4; ++c) {
            product[c] = x.m[i][c] * y.m[c][j];
        }
        const float low = product[0] + product[1];
        const float high = product[2] + product[3];
        return low + high;
    }
    case RoundingModel::FloatFmaPairwise: {
        const float first = x.m[i][0] * y.m[0][j];
        const float third = x.m[i][2] * y.m[2][j];
        const float low = FusedMultiplyAdd(x.m[i][1], y.m[1][j], first);
        const float high = FusedMultiplyAdd(x.m[i][3], y.m[3][j], third);
        return low + high;
    }
    case RoundingModel::CorrectlyRounded:
        return ReferenceElement(x, y, i, j).value;
    }
    return 0.0f;
}

} // namespace

Matrix4 ModelProduct(RoundingModel model, const Matrix4 &x, const Matrix4 &y)
{
    Matrix4 r;
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            r.m[i][j] = ModelElement(model, x, y, i, j);
        }
    }
    return r;
}

bool SameResult(float computed, float expected)
{
    if (std::isnan(computed) && std::isnan(expected)) {
        return true;
    }
    return std::memcmp(&computed, &expected, sizeof computed) == 0;
}
