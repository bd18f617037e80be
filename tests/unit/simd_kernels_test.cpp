// The wide twins (AVX2 and FMA on x86, Advanced SIMD on AArch64) against the
// scalar kernels they copy, bit for bit, on the cases where rounding through
// double and rounding once part ways. Every kernel's contract, error bound
// and rounding models are held by the registry-driven kernel test; these
// compare two libraries directly. Skipped, with the reason, where an x86
// processor lacks AVX2 or FMA.
#include "feature_gate.h"
#include "kernel_test_support.h"
#include "operand_generator.h"
#include "reference.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <utility>
#include <vector>

namespace {

#if defined(OUTERPROD_AVX2_PATH)
constexpr FeatureMask kWideMask = feature::kAVX2 | feature::kFMA;
constexpr const char *kWideOuterPath = OUTERPROD_AVX2_PATH;
constexpr const char *kWideInnerPath = INNERPROD_AVX2_PATH;
#else
constexpr FeatureMask kWideMask = 0;
constexpr const char *kWideOuterPath = OUTERPROD_NEON_PATH;
constexpr const char *kWideInnerPath = INNERPROD_NEON_PATH;
#endif

// Operands drawn as Test draws them, of mixed signs and magnitudes, and with
// products that overflow single precision or fall into its subnormals.
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
    for (int spread : {0, 3, 12, 30, 70}) {
        for (int i = 0; i < 300; ++i) {
            sets.emplace_back(MixedOperand(rng, spread), MixedOperand(rng, spread));
        }
    }
    return sets;
}

class WideTwins : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!feature::CheckFeatures(kWideMask)) {
            GTEST_SKIP() << "the wide twins need AVX2 and FMA, which this processor or operating system lacks";
        }
    }
    KernelLibrary outer{OUTERPROD_PATH, "Mat_Mult"};
    KernelLibrary inner{INNERPROD_PATH, "innerprod1"};
    KernelLibrary wideOuter{kWideOuterPath, "Mat_Mult_Wide"};
    KernelLibrary wideInner{kWideInnerPath, "innerprod1_Wide"};
};

TEST_F(WideTwins, SameBitsAsTheScalarKernels)
{
    ASSERT_NE(wideOuter.entry(), nullptr);
    ASSERT_NE(wideInner.entry(), nullptr);
    int index = 0;
    for (const auto &[a, b] : OperandSets()) {
        ASSERT_TRUE(SameBits(RunGuarded(wideOuter.entry(), a, b, 16), RunGuarded(outer.entry(), a, b, 0)))
            << "Mat_Mult_Wide, operand set " << index;
        ASSERT_TRUE(SameBits(RunGuarded(wideInner.entry(), a, b, 48), RunGuarded(inner.entry(), a, b, 0)))
            << "innerprod1_Wide, operand set " << index;
        ++index;
    }
}

TEST_F(WideTwins, RoundsThroughDoubleLikeMatMult)
{
    // 1 + a*b with a*b = 2^-24 + 2^-60: rounded to double first it is the
    // midpoint 1 + 2^-24, which rounds to even, 1; a single rounding (a
    // single-precision fused multiply-add) would give 1 + 2^-23.
    Matrix4 a{};
    Matrix4 b{};
    a.m[0][0] = 1.0f;
    b.m[0][0] = 1.0f;
    a.m[0][1] = std::ldexp(1.0f + std::ldexp(1.0f, -12), -24);
    b.m[1][0] = 1.0f - std::ldexp(1.0f, -12) + std::ldexp(1.0f, -24);
    ASSERT_EQ(FusedMultiplyAdd(a.m[0][1], b.m[1][0], 1.0f), 1.0f + std::ldexp(1.0f, -23));
    const Matrix4 scalar = RunGuarded(outer.entry(), a, b, 0);
    EXPECT_EQ(scalar.m[0][0], 1.0f);
    EXPECT_TRUE(SameBits(RunGuarded(wideOuter.entry(), a, b, 16), scalar));
}

TEST_F(WideTwins, ZerosKeepTheScalarKernelsSigns)
{
    // -0 products: Mat_Mult adds them onto +0, innerprod1 sums them as they are.
    const Matrix4 negativeZero = Filled(-0.0f);
    const Matrix4 ones = Filled(1.0f);
    // A first product of -2^-160 is no zero: added onto +0 it stays negative
    // and rounds to -0 in single precision, which the -0 products after it
    // keep. Making the first sum's zeros +0 after rounding would lose it.
    Matrix4 underflow = negativeZero;
    underflow.m[0][0] = -0x1p-80f;
    Matrix4 scale = ones;
    scale.m[0][0] = 0x1p-80f;
    const float first = RunGuarded(outer.entry(), underflow, scale, 0).m[0][0];
    ASSERT_TRUE(first == 0.0f && std::signbit(first));
    for (const auto &[a, b] :
         {std::pair{negativeZero, ones}, std::pair{ones, negativeZero}, std::pair{underflow, scale}}) {
        EXPECT_TRUE(SameBits(RunGuarded(wideOuter.entry(), a, b, 16), RunGuarded(outer.entry(), a, b, 0)));
        EXPECT_TRUE(SameBits(RunGuarded(wideInner.entry(), a, b, 16), RunGuarded(inner.entry(), a, b, 0)));
    }
}

} // namespace
