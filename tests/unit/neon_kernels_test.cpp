// The AArch64 kernels bit for bit against their rounding models: the wide
// twins against the scalar kernels they copy, Mat_Mult_NEON against the
// first product rounded to single precision followed by three fused
// multiply-adds, c = 0..3 in order. Each runs at 16-byte alignment only,
// the most the contract promises.
#include "kernel_library.h"
#include "operand_generator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <utility>
#include <vector>

namespace {

std::vector<std::pair<Matrix4, Matrix4>> OperandSets()
{
    std::vector<std::pair<Matrix4, Matrix4>> sets;
    SeedRandom(424242);
    for (int i = 0; i < 1000; ++i) {
        Matrix4 a;
        Matrix4 b;
        FillRandomMatrix(a);
        FillRandomMatrix(b);
        sets.emplace_back(a, b);
    }
    std::mt19937 rng(99);
    // Spread 70 reaches products that overflow single precision or fall
    // into its subnormals.
    for (int spread : {0, 3, 12, 30, 70}) {
        for (int i = 0; i < 300; ++i) {
            sets.emplace_back(MixedOperand(rng, spread), MixedOperand(rng, spread));
        }
    }
    // -0 products: Mat_Mult adds them onto +0, innerprod1 sums them as they are.
    sets.emplace_back(Filled(-0.0f), Filled(1.0f));
    sets.emplace_back(Filled(1.0f), Filled(-0.0f));
    // 1 + a*b with a*b = 2^-24 + 2^-60: rounded through double it is the
    // midpoint 1 + 2^-24, which rounds to even, 1; one fused rounding to
    // single gives 1 + 2^-23, and a rounded product then a sum give 1.
    Matrix4 a{};
    Matrix4 b{};
    a.m[0][0] = 1.0f;
    b.m[0][0] = 1.0f;
    a.m[0][1] = std::ldexp(1.0f + std::ldexp(1.0f, -12), -24);
    b.m[1][0] = 1.0f - std::ldexp(1.0f, -12) + std::ldexp(1.0f, -24);
    sets.emplace_back(a, b);
    return sets;
}

// a x b: the first product rounded to single, then a fused multiply-add for
// each of c = 1, 2, 3.
Matrix4 FirstProductThenFused(const Matrix4 &a, const Matrix4 &b)
{
    Matrix4 r;
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            float sum = a.m[i][0] * b.m[0][j];
            for (int c = 1; c < 4; ++c) {
                sum = FusedMultiplyAddReference(a.m[i][c], b.m[c][j], sum);
            }
            r.m[i][j] = sum;
        }
    }
    return r;
}

class NeonKernels : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const KernelLibrary *k : {&outer, &inner, &neon, &wideOuter, &wideInner}) {
            ASSERT_NE(k->entry(), nullptr);
        }
    }
    KernelLibrary outer{OUTERPROD_PATH, "Mat_Mult"};
    KernelLibrary inner{INNERPROD_PATH, "innerprod1"};
    KernelLibrary neon{NEON_PATH, "Mat_Mult_NEON"};
    KernelLibrary wideOuter{OUTERPROD_NEON_PATH, "Mat_Mult_Wide"};
    KernelLibrary wideInner{INNERPROD_NEON_PATH, "innerprod1_Wide"};
};

TEST_F(NeonKernels, WideTwinsGiveTheScalarKernelsBits)
{
    const Matrix4 garbage = Filled(std::numeric_limits<float>::quiet_NaN());
    int index = 0;
    for (const auto &[a, b] : OperandSets()) {
        ASSERT_TRUE(SameBits(RunGuarded(wideOuter.entry(), a, b, 16, &garbage), RunGuarded(outer.entry(), a, b, 0)))
            << "Mat_Mult_Wide, operand set " << index;
        ASSERT_TRUE(SameBits(RunGuarded(wideInner.entry(), a, b, 48, &garbage), RunGuarded(inner.entry(), a, b, 0)))
            << "innerprod1_Wide, operand set " << index;
        ++index;
    }
    Matrix4 r{};
    const Matrix4 id = Identity();
    EXPECT_EQ(wideOuter.entry()(&r, &id, &id), 16);
    EXPECT_EQ(wideInner.entry()(&r, &id, &id), reinterpret_cast<std::intptr_t>(&r));
}

TEST_F(NeonKernels, SinglePrecisionFusesEveryProductAfterTheFirst)
{
    const Matrix4 garbage = Filled(std::numeric_limits<float>::quiet_NaN());
    int index = 0;
    for (const auto &[a, b] : OperandSets()) {
        ASSERT_TRUE(SameBits(RunGuarded(neon.entry(), a, b, 16, &garbage), FirstProductThenFused(a, b)))
            << "operand set " << index;
        ++index;
    }
}

} // namespace
