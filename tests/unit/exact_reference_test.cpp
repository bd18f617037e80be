// The exact arithmetic every verdict rests on, against the one rounding the
// processor itself does correctly: a single IEEE multiply or add rounds the
// exact result once, to nearest with ties to even, so ExactSum must agree
// with it bit for bit, through the subnormals and up to infinity.
#include "exact_sum.h"
#include "operand_sets.h"
#include "reference.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace {

bool SameBits(float x, float y)
{
    return std::memcmp(&x, &y, sizeof x) == 0;
}

TEST(ExactSum, RoundsOnceLikeOneIeeeOperation)
{
    OperandRandom random(7);
    for (int k = 0; k < 200000; ++k) {
        // Exponents wide enough to reach subnormal and overflowing results.
        const float x = random.Mixed(-100, 100);
        const float y = random.Mixed(-100, 100);
        ASSERT_TRUE(SameBits(ExactSum::Product(x, y).RoundToFloat(), x * y)) << x << " * " << y;
        ASSERT_EQ(ExactSum::Product(x, y).ToDouble(), static_cast<double>(x) * static_cast<double>(y));
        // Sums of nearby magnitudes, subnormal ones among them, that round.
        const float z = std::ldexp(random.Mixed(0, 0), static_cast<int>(random.Next() % 60) - 150);
        const float w = std::ldexp(random.Mixed(0, 0), static_cast<int>(random.Next() % 60) - 150);
        ExactSum sum = ExactSum::Of(z);
        sum -= ExactSum::Of(-w);
        ASSERT_TRUE(SameBits(sum.RoundToFloat(), z + w)) << z << " + " << w;
    }
}

TEST(ExactSum, TiesGoToEvenAndCancellationIsExact)
{
    // 1 + 2^-24 lies halfway between 1 and the next float: even wins.
    ExactSum tie = ExactSum::Of(1.0f);
    tie += ExactSum::Product(0x1p-12f, 0x1p-12f);
    EXPECT_EQ(tie.RoundToFloat(), 1.0f);
    tie += ExactSum::Product(0x1p-40f, 0x1p-40f); // just past halfway
    EXPECT_EQ(tie.RoundToFloat(), 1.0f + 0x1p-23f);
    ExactSum gone = ExactSum::Product(3.0f, 0x1p100f);
    gone -= ExactSum::Product(0x1p100f, 3.0f);
    EXPECT_TRUE(gone.IsZero());
    EXPECT_EQ(ExactSum::Product(std::numeric_limits<float>::max(), 2.0f).RoundToFloat(),
              std::numeric_limits<float>::infinity());
}

TEST(ExactSum, TiesRoundToEvenInBothDirections)
{
    // 1 + 2^-23 + 2^-24 lies halfway between 1 + 2^-23 (odd) and 1 + 2^-22
    // (even): even is up, away from zero, for either sign.
    const ExactSum half = ExactSum::Product(0x1p-12f, 0x1p-12f);
    ExactSum tie = ExactSum::Of(1.0f + 0x1p-23f);
    tie += half;
    EXPECT_EQ(tie.RoundToFloat(), 1.0f + 0x1p-22f);
    EXPECT_EQ((-tie).RoundToFloat(), -1.0f - 0x1p-22f);
    // Just below that half, the nearer neighbour is down.
    ExactSum below = tie;
    below -= ExactSum::Product(0x1p-40f, 0x1p-40f);
    EXPECT_EQ(below.RoundToFloat(), 1.0f + 0x1p-23f);
    // Halves of the smallest subnormal: down to 0, and up to two of it.
    EXPECT_TRUE(SameBits(ExactSum::Product(0.5f, 0x1p-149f).RoundToFloat(), 0.0f));
    EXPECT_EQ(ExactSum::Product(1.5f, 0x1p-149f).RoundToFloat(), 0x1p-148f);
    EXPECT_EQ(ExactSum::Product(-1.5f, 0x1p-149f).RoundToFloat(), -0x1p-148f);
}

TEST(Reference, SpecialValuesAndZeroSigns)
{
    Matrix4 x{};
    Matrix4 y{};
    constexpr float kInf = std::numeric_limits<float>::infinity();
    x.m[0][0] = kInf;
    y.m[0][0] = 1.0f;
    EXPECT_EQ(ReferenceElement(x, y, 0, 0).value, kInf); // inf * 1 + 0 * 0 ...
    x.m[0][1] = -kInf;
    y.m[1][0] = 1.0f;
    EXPECT_TRUE(std::isnan(ReferenceElement(x, y, 0, 0).value)); // inf - inf
    y.m[0][1] = 0.0f;
    EXPECT_TRUE(std::isnan(ReferenceElement(x, y, 0, 1).value)); // inf * 0
    Matrix4 negative{};
    Matrix4 ones{};
    for (int c = 0; c < 4; ++c) {
        negative.m[0][c] = -0.0f;
        ones.m[c][0] = 1.0f;
    }
    EXPECT_TRUE(SameBits(ReferenceElement(negative, ones, 0, 0).value, -0.0f));
    EXPECT_TRUE(SameBits(ModelProduct(RoundingModel::OuterProduct, negative, ones).m[0][0], 0.0f));
    EXPECT_TRUE(SameBits(ModelProduct(RoundingModel::InnerProduct, negative, ones).m[0][0], -0.0f));
}

TEST(Reference, PairwiseModelsSumTwoPairsThenBoth)
{
    Matrix4 x{};
    Matrix4 y{};
    // [0][0]: products 1, 2^-24, 2^-24, -1. In order the small ones vanish
    // into 1; as pairs, 2^-24 - 1 is exact and 2^-24 survives.
    const float row0[4] = {1.0f, 0x1p-24f, 0x1p-24f, -1.0f};
    // [1][1]: products -1, (1 + 2^-12)^2 = 1 + 2^-11 + 2^-24 (a tie, rounded
    // to 1 + 2^-11), 0, 0. Fused onto -1, the 2^-24 is kept.
    const float row1[4] = {-1.0f, 1.0f + 0x1p-12f, 0.0f, 0.0f};
    for (int c = 0; c < 4; ++c) {
        x.m[0][c] = row0[c];
        x.m[1][c] = row1[c];
        y.m[c][0] = 1.0f;
        y.m[c][1] = c == 1 ? 1.0f + 0x1p-12f : 1.0f;
    }
    EXPECT_EQ(ModelProduct(RoundingModel::FloatMulAdd, x, y).m[0][0], 0.0f);
    EXPECT_EQ(ModelProduct(RoundingModel::FloatPairwise, x, y).m[0][0], 0x1p-24f);
    EXPECT_EQ(ModelProduct(RoundingModel::FloatFmaPairwise, x, y).m[0][0], 0x1p-24f);
    EXPECT_EQ(ModelProduct(RoundingModel::FloatPairwise, x, y).m[1][1], 0x1p-11f);
    EXPECT_EQ(ModelProduct(RoundingModel::FloatFmaPairwise, x, y).m[1][1], 0x1p-11f + 0x1p-24f);
}

TEST(Reference, VerifysOperandsTellEveryRoundingModelApart)
{
    // Verify names each model a kernel matches on these pairs: two models
    // that agree on all of them could not be told apart.
    const std::vector<OperandPair> pairs = ArithmeticOperands();
    std::vector<std::vector<Matrix4>> products;
    for (RoundingModel model : kRoundingModels) {
        products.emplace_back();
        for (const OperandPair &pair : pairs) {
            products.back().push_back(ModelProduct(model, pair.a, pair.b));
        }
    }
    for (std::size_t m = 0; m < kRoundingModels.size(); ++m) {
        for (std::size_t n = m + 1; n < kRoundingModels.size(); ++n) {
            bool differ = false;
            for (std::size_t k = 0; k < pairs.size() && !differ; ++k) {
                for (int e = 0; e < 16 && !differ; ++e) {
                    differ = !SameResult(products[m][k].m[e / 4][e % 4], products[n][k].m[e / 4][e % 4]);
                }
            }
            EXPECT_TRUE(differ) << RoundingModelName(kRoundingModels[m]) << " and "
                                << RoundingModelName(kRoundingModels[n]);
        }
    }
}

} // namespace
