// The two reference kernels, bit for bit against the rounding steps spelled
// out element by element, and against the kernel entry contract.
#include "kernel_test_support.h"
#include "operand_generator.h"
#include "reference.h"
#include "wrong_products.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

namespace {

// a x b, each element accumulated onto 0 over c = 0..3, each multiply-add
// in double and rounded to single precision.
Matrix4 FourRoundings(const Matrix4 &a, const Matrix4 &b)
{
    return ModelProduct(RoundingModel::OuterProduct, a, b);
}

// b x a in row-major terms: four products summed left to right in double,
// rounded once.
Matrix4 OneRounding(const Matrix4 &a, const Matrix4 &b)
{
    return ModelProduct(RoundingModel::InnerProduct, b, a);
}


class ScalarKernels : public ::testing::Test {
protected:
    KernelLibrary outer{OUTERPROD_PATH, "Mat_Mult"};
    KernelLibrary inner{INNERPROD_PATH, "innerprod1"};

    void SetUp() override
    {
        ASSERT_NE(outer.entry(), nullptr);
        ASSERT_NE(inner.entry(), nullptr);
    }

    void ExpectExact(const Matrix4 &a, const Matrix4 &b)
    {
        EXPECT_TRUE(SameBits(RunGuarded(outer.entry(), a, b, 0), FourRoundings(a, b)));
        EXPECT_TRUE(SameBits(RunGuarded(inner.entry(), a, b, 0), OneRounding(a, b)));
    }
};

TEST_F(ScalarKernels, ExactOnOperandsDrawnLikeTheHarness)
{
    SeedRandom(20261208);
    for (int i = 0; i < 2000; ++i) {
        Matrix4 a;
        Matrix4 b;
        FillRandomMatrix(a);
        FillRandomMatrix(b);
        ExpectExact(a, b);
    }
}

TEST_F(ScalarKernels, ExactOnMixedSignsAndMagnitudes)
{
    std::mt19937 rng(5);
    for (int spread : {0, 4, 20, 60}) {
        for (int i = 0; i < 1000; ++i) {
            ExpectExact(MixedOperand(rng, spread), MixedOperand(rng, spread));
        }
    }
    // Results that overflow, underflow to subnormals, and exact cancellation.
    Matrix4 big;
    Matrix4 tiny;
    for (int k = 0; k < 16; ++k) {
        big.m[k / 4][k % 4] = (k % 3 == 0 ? -1.0f : 1.0f) * std::numeric_limits<float>::max() / 2;
        tiny.m[k / 4][k % 4] = (k % 2 == 0 ? 1.0f : -1.0f) * std::numeric_limits<float>::min() / 3;
    }
    ExpectExact(big, big);
    ExpectExact(tiny, Identity());
    ExpectExact(tiny, big);
}

TEST_F(ScalarKernels, FourRoundingsAndOneRoundingReallyDiffer)
{
    // innerprod1(b, a) computes a x b like Mat_Mult(a, b), but rounds once.
    std::mt19937 rng(11);
    int differing = 0;
    for (int i = 0; i < 200 && differing == 0; ++i) {
        const Matrix4 a = MixedOperand(rng, 3);
        const Matrix4 b = MixedOperand(rng, 3);
        const Matrix4 four = RunGuarded(outer.entry(), a, b, 0);
        const Matrix4 once = RunGuarded(inner.entry(), b, a, 0);
        EXPECT_TRUE(SameBits(four, FourRoundings(a, b)));
        EXPECT_TRUE(SameBits(once, OneRounding(b, a)));
        differing += SameBits(four, once) ? 0 : 1;
    }
    EXPECT_GT(differing, 0) << "no operands found where the roundings differ";
}

TEST_F(ScalarKernels, IdentityOnEitherSide)
{
    std::mt19937 rng(13);
    const Matrix4 m = MixedOperand(rng, 30);
    const Matrix4 id = Identity();
    EXPECT_TRUE(SameBits(RunGuarded(outer.entry(), id, m, 0), m));
    EXPECT_TRUE(SameBits(RunGuarded(outer.entry(), m, id, 0), m));
    EXPECT_TRUE(SameBits(RunGuarded(inner.entry(), id, m, 0), m));
    EXPECT_TRUE(SameBits(RunGuarded(inner.entry(), m, id, 0), m));
}

TEST_F(ScalarKernels, InnerProductReadsColumnMajor)
{
    Matrix4 e01{};
    e01.m[0][1] = 1.0f;
    Matrix4 e10{};
    e10.m[1][0] = 1.0f;
    EXPECT_TRUE(SameBits(RunGuarded(inner.entry(), e01, e01, 0), Matrix4{}));
    Matrix4 e11{};
    e11.m[1][1] = 1.0f;
    EXPECT_TRUE(SameBits(RunGuarded(inner.entry(), e01, e10, 0), e11));
    // In column-major terms it is a x b: transposing everything gives Mat_Mult's product.
    std::mt19937 rng(17);
    const Matrix4 a = MixedOperand(rng, 2);
    const Matrix4 b = MixedOperand(rng, 2);
    const Matrix4 viaInner = Transposed(RunGuarded(inner.entry(), Transposed(a), Transposed(b), 0));
    const Matrix4 exact = FourRoundings(a, b);
    for (int k = 0; k < 16; ++k) {
        const float x = viaInner.m[k / 4][k % 4];
        const float y = exact.m[k / 4][k % 4];
        EXPECT_LE(std::fabs(x - y), 1e-5f * (std::fabs(y) + 1.0f));
    }
}

TEST_F(ScalarKernels, EarlierResultHasNoEffectAndNoAlignmentIsNeeded)
{
    std::mt19937 rng(19);
    const Matrix4 a = MixedOperand(rng, 8);
    const Matrix4 b = MixedOperand(rng, 8);
    const Matrix4 garbage = Filled(std::numeric_limits<float>::quiet_NaN());
    for (std::size_t offset : {0u, 4u, 8u, 12u, 16u, 36u}) {
        EXPECT_TRUE(SameBits(RunGuarded(outer.entry(), a, b, offset, &garbage), FourRoundings(a, b))) << offset;
        EXPECT_TRUE(SameBits(RunGuarded(inner.entry(), a, b, offset, &garbage), OneRounding(a, b))) << offset;
    }
}

TEST_F(ScalarKernels, ReturnValues)
{
    Matrix4 r{};
    const Matrix4 id = Identity();
    EXPECT_EQ(outer.entry()(&r, &id, &id), 16);
    EXPECT_EQ(inner.entry()(&r, &id, &id), reinterpret_cast<std::intptr_t>(&r));
}

} // namespace
