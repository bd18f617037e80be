// Every registered kernel: true to the kernel entry contract at the 16-byte
// alignment it promises, within the forward error bound of a four-term sum,
// and bit for bit equal to each rounding model it is registered with. The
// list comes from the kernels' registrations, so a new kernel is covered by
// its one line. A kernel whose features this processor lacks is skipped,
// with the reason.
#include "feature_gate.h"
#include "kernel_test_support.h"
#include "operand_generator.h"
#include "operand_sets.h"
#include "reference.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct RegisteredKernel {
    const char *path;
    const char *procedure;
    FeatureMask mask;
    const char *product;  // "a*b", "b*a" or "none"
    const char *rounding; // model names, comma-separated, or "-"
};

// Written by the build from the registrations.
const RegisteredKernel kRegistered[] = {
#include "registered_kernels.inc"
};

// The kernels that compute a product (not the null or calibration kernels).
std::vector<RegisteredKernel> ProductKernels()
{
    std::vector<RegisteredKernel> kernels;
    for (const RegisteredKernel &k : kRegistered) {
        if (std::string(k.product) != "none") {
            kernels.push_back(k);
        }
    }
    return kernels;
}

std::vector<RoundingModel> ClaimedModels(const RegisteredKernel &k)
{
    std::vector<RoundingModel> models;
    std::stringstream names(k.rounding);
    for (std::string name; std::getline(names, name, ',');) {
        if (const auto model = RoundingModelNamed(name)) {
            models.push_back(*model);
        }
    }
    return models;
}

// Operands drawn as Test draws them and of mixed signs and magnitudes; with
// extremes, also products that overflow single precision or fall into its
// subnormals, and every pair Verify tries.
std::vector<OperandPair> OperandSets(bool extremes)
{
    std::vector<OperandPair> sets;
    SeedRandom(424242);
    for (int i = 0; i < 1000; ++i) {
        OperandPair pair;
        FillRandomMatrix(pair.a);
        FillRandomMatrix(pair.b);
        sets.push_back(pair);
    }
    std::mt19937 rng(99);
    for (int spread : {0, 3, 12, 30}) {
        for (int i = 0; i < 500; ++i) {
            sets.push_back({MixedOperand(rng, spread), MixedOperand(rng, spread)});
        }
    }
    if (extremes) {
        for (int i = 0; i < 200; ++i) {
            sets.push_back({MixedOperand(rng, 70), MixedOperand(rng, 70)});
        }
        // -0 products: Mat_Mult adds them onto +0, innerprod1 sums them as they are.
        sets.push_back({Filled(-0.0f), Filled(1.0f)});
        sets.push_back({Filled(1.0f), Filled(-0.0f)});
        for (const OperandPair &pair : ArithmeticOperands()) {
            sets.push_back(pair);
        }
    }
    return sets;
}

class KernelTest : public ::testing::TestWithParam<RegisteredKernel> {
protected:
    void SetUp() override
    {
        if (!feature::CheckFeatures(GetParam().mask)) {
            GTEST_SKIP() << GetParam().procedure << " needs features this processor or operating system lacks (mask "
                         << GetParam().mask << ")";
        }
        library_ = std::make_unique<KernelLibrary>(GetParam().path, GetParam().procedure);
        ASSERT_NE(library_->entry(), nullptr);
    }
    KernelEntry entry() const { return library_->entry(); }
    // The kernel's factors, row-major: (a, b) for a*b, (b, a) for b*a.
    std::pair<const Matrix4 &, const Matrix4 &> Factors(const OperandPair &pair) const
    {
        if (std::string(GetParam().product) == "b*a") {
            return {pair.b, pair.a};
        }
        return {pair.a, pair.b};
    }

private:
    std::unique_ptr<KernelLibrary> library_;
};

std::string KernelName(const ::testing::TestParamInfo<RegisteredKernel> &info)
{
    return info.param.procedure;
}

TEST_P(KernelTest, HonoursTheContract)
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

TEST_P(KernelTest, WithinTheErrorBoundOfAFourTermSum)
{
    for (const OperandPair &pair : OperandSets(false)) {
        const auto [x, y] = Factors(pair);
        const Matrix4 got = RunGuarded(entry(), pair.a, pair.b, 16);
        for (int i = 0; i < 4; ++i) {
            for (int j = 0; j < 4; ++j) {
                ASSERT_LE(ReferenceElement(x, y, i, j).ErrorUnits(got.m[i][j]), 1.0)
                    << "element [" << i << "][" << j << "]";
            }
        }
    }
}

TEST_P(KernelTest, MatchesItsRoundingModels)
{
    const std::vector<RoundingModel> models = ClaimedModels(GetParam());
    if (models.empty()) {
        GTEST_SKIP() << GetParam().procedure << " is registered with no rounding model";
    }
    int index = 0;
    for (const OperandPair &pair : OperandSets(true)) {
        const auto [x, y] = Factors(pair);
        const Matrix4 got = RunGuarded(entry(), pair.a, pair.b, 16);
        for (RoundingModel model : models) {
            const Matrix4 expected = ModelProduct(model, x, y);
            for (int k = 0; k < 16; ++k) {
                ASSERT_TRUE(SameResult(got.m[k / 4][k % 4], expected.m[k / 4][k % 4]))
                    << RoundingModelName(model) << ", operand set " << index << ", element " << k;
            }
        }
        ++index;
    }
}

INSTANTIATE_TEST_SUITE_P(Registered, KernelTest, ::testing::ValuesIn(ProductKernels()), KernelName);

} // namespace
