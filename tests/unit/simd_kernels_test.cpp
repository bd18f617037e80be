// The SIMD kernels: the single-precision ones within the forward error bound
// of a four-term sum, the wide twins bit for bit equal to the scalar
// kernels, and all of them true to the kernel entry contract at the 16-byte
// alignment it promises. A kernel whose features this processor lacks is
// skipped, with the reason.
#include "feature_gate.h"
#include "kernel_test_support.h"
#include "operand_generator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

// How a single-precision kernel forms each element's sum over c = 0..3.
enum class Steps {
    MultiplyThenAdd, // every product and every sum rounded to single
    Fused,           // the first product rounded, then three fused multiply-adds
    Wide,            // a twin of a scalar kernel
};

struct SimdKernel {
    const char *path;
    const char *procedure;
    FeatureMask mask;
    Steps steps;
};

const SimdKernel kSse{SSE_PATH, "Mat_Mult_SSE", feature::kSse | feature::kSse2, Steps::MultiplyThenAdd};
const SimdKernel kAvx2{AVX2_PATH, "Mat_Mult_AVX2", feature::kAvx2 | feature::kFma, Steps::Fused};
const SimdKernel kAvx512{AVX512_PATH, "Mat_Mult_AVX512", feature::kAvx512f, Steps::Fused};
const SimdKernel kWideOuter{OUTERPROD_AVX2_PATH, "Mat_Mult_Wide", feature::kAvx2 | feature::kFma, Steps::Wide};
const SimdKernel kWideInner{INNERPROD_AVX2_PATH, "innerprod1_Wide", feature::kAvx2 | feature::kFma, Steps::Wide};

// a * b + c rounded once to single precision, without trusting the C
// library's fmaf (some round twice). The product is exact in double; the sum
// is taken in double rounded to odd, from which one rounding to single is
// correct.
float FusedMultiplyAdd(float a, float b, float c)
{
    const double product = static_cast<double>(a) * static_cast<double>(b);
    const double addend = static_cast<double>(c);
    const double sum = product + addend;
    // The error of that sum, exactly (two-sum).
    const double fromAddend = sum - product;
    const double error = (product - (sum - fromAddend)) + (addend - fromAddend);
    double odd = sum;
    std::uint64_t bits;
    std::memcpy(&bits, &sum, sizeof bits);
    if (error != 0 && (bits & 1) == 0) {
        odd = std::nextafter(sum, error > 0 ? HUGE_VAL : -HUGE_VAL);
    }
    return static_cast<float>(odd);
}

// a x b with the rounding steps of the given kind spelled out per element.
Matrix4 InOrder(const Matrix4 &a, const Matrix4 &b, Steps steps)
{
    Matrix4 r;
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            float sum = a.m[i][0] * b.m[0][j];
            for (int c = 1; c < 4; ++c) {
                if (steps == Steps::Fused) {
                    sum = FusedMultiplyAdd(a.m[i][c], b.m[c][j], sum);
                } else {
                    const float product = a.m[i][c] * b.m[c][j];
                    sum = sum + product;
                }
            }
            r.m[i][j] = sum;
        }
    }
    return r;
}

// The operand sets every kernel is tried on.
std::vector<std::pair<Matrix4, Matrix4>> OperandSets(bool extremes)
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
    for (int spread : {0, 3, 12, 30}) {
        for (int i = 0; i < 500; ++i) {
            sets.emplace_back(MixedOperand(rng, spread), MixedOperand(rng, spread));
        }
    }
    if (extremes) {
        // Products that overflow single precision or fall into its subnormals.
        for (int i = 0; i < 200; ++i) {
            sets.emplace_back(MixedOperand(rng, 70), MixedOperand(rng, 70));
        }
    }
    return sets;
}

class SimdKernelTest : public ::testing::TestWithParam<SimdKernel> {
protected:
    void SetUp() override
    {
        if (!CheckFeatures(GetParam().mask)) {
            GTEST_SKIP() << GetParam().procedure << " needs features this processor or operating system lacks (mask "
                         << GetParam().mask << ")";
        }
        library_ = std::make_unique<KernelLibrary>(GetParam().path, GetParam().procedure);
        ASSERT_NE(library_->entry(), nullptr);
    }
    KernelEntry entry() const { return library_->entry(); }

private:
    std::unique_ptr<KernelLibrary> library_;
};

std::string KernelName(const ::testing::TestParamInfo<SimdKernel> &info)
{
    return info.param.procedure;
}

// The product as the kernel computes it, row-major a x b, except the wide
// inner-product twin, which like innerprod1 computes b x a.
bool ComputesBTimesA(const SimdKernel &k)
{
    return std::string(k.procedure) == "innerprod1_Wide";
}

TEST_P(SimdKernelTest, HonoursTheContract)
{
    std::mt19937 rng(3);
    const Matrix4 a = MixedOperand(rng, 10);
    const Matrix4 b = MixedOperand(rng, 10);
    const Matrix4 garbage = Filled(std::nanf(""));
    // 16-byte aligned, but not 32- or 64-byte aligned.
    const Matrix4 reference = RunGuarded(entry(), a, b, 0);
    for (std::size_t offset : {16u, 48u}) {
        EXPECT_TRUE(SameBits(RunGuarded(entry(), a, b, offset, &garbage), reference)) << "offset " << offset;
    }
    const Matrix4 id = Identity();
    EXPECT_TRUE(SameBits(RunGuarded(entry(), id, b, 16), b));
    EXPECT_TRUE(SameBits(RunGuarded(entry(), a, id, 48), a));
}

TEST_P(SimdKernelTest, WithinTheErrorBoundOfAFourTermSum)
{
    const bool transposed = ComputesBTimesA(GetParam());
    constexpr long double kUnit = 1.0L / (1 << 24);
    for (const auto &[a, b] : OperandSets(false)) {
        const Matrix4 x = transposed ? b : a;
        const Matrix4 y = transposed ? a : b;
        const Matrix4 got = RunGuarded(entry(), a, b, 16);
        for (int i = 0; i < 4; ++i) {
            for (int j = 0; j < 4; ++j) {
                long double exact = 0;
                long double magnitude = 0;
                for (int c = 0; c < 4; ++c) {
                    const long double p = static_cast<long double>(x.m[i][c]) * y.m[c][j];
                    exact += p;
                    magnitude += std::fabs(p);
                }
                const long double error = std::fabs(got.m[i][j] - exact);
                // 4u for the kernel, and a hair for the long double reference itself.
                ASSERT_LE(error, 4 * kUnit * magnitude * (1 + 1e-12L)) << "element [" << i << "][" << j << "]";
            }
        }
    }
}

// The single-precision kernels; the wide twins are held to their scalar
// kernels' bits below instead.
class SinglePrecisionTest : public SimdKernelTest {
};

TEST_P(SinglePrecisionTest, SumsInOrderOverC)
{
    int index = 0;
    for (const auto &[a, b] : OperandSets(true)) {
        ASSERT_TRUE(SameBits(RunGuarded(entry(), a, b, 16), InOrder(a, b, GetParam().steps))) << "operand set " << index;
        ++index;
    }
}

INSTANTIATE_TEST_SUITE_P(AllSimd, SimdKernelTest, ::testing::Values(kSse, kAvx2, kAvx512, kWideOuter, kWideInner),
                         KernelName);
#if defined(EIGEN_PEER_PATH) && defined(GLM_PEER_PATH)
// The optional bench peers, where they were built: they must compute a x b too.
constexpr FeatureMask kPeerMask = feature::kAvx | feature::kFma | feature::kAvx2 | feature::kAvx512f;
INSTANTIATE_TEST_SUITE_P(Peers, SimdKernelTest,
                         ::testing::Values(SimdKernel{EIGEN_PEER_PATH, "Eigen_Matrix4f", kPeerMask, Steps::Fused},
                                           SimdKernel{GLM_PEER_PATH, "GLM_mat4", kPeerMask, Steps::Fused}),
                         KernelName);
#endif
INSTANTIATE_TEST_SUITE_P(Single, SinglePrecisionTest, ::testing::Values(kSse, kAvx2, kAvx512), KernelName);

class WideTwins : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!CheckFeatures(kWideOuter.mask)) {
            GTEST_SKIP() << "the wide twins need AVX2 and FMA, which this processor or operating system lacks";
        }
    }
    KernelLibrary outer{OUTERPROD_PATH, "Mat_Mult"};
    KernelLibrary inner{INNERPROD_PATH, "innerprod1"};
    KernelLibrary wideOuter{kWideOuter.path, kWideOuter.procedure};
    KernelLibrary wideInner{kWideInner.path, kWideInner.procedure};
};

TEST_F(WideTwins, SameBitsAsTheScalarKernels)
{
    ASSERT_NE(wideOuter.entry(), nullptr);
    ASSERT_NE(wideInner.entry(), nullptr);
    int index = 0;
    for (const auto &[a, b] : OperandSets(true)) {
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
    for (const auto &[a, b] : {std::pair{negativeZero, ones}, std::pair{ones, negativeZero}}) {
        EXPECT_TRUE(SameBits(RunGuarded(wideOuter.entry(), a, b, 16), RunGuarded(outer.entry(), a, b, 0)));
        EXPECT_TRUE(SameBits(RunGuarded(wideInner.entry(), a, b, 16), RunGuarded(inner.entry(), a, b, 0)));
    }
}

} // namespace
