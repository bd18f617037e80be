// Every kernel of the build's kernel list, and of the portable builds'
// list: true to the kernel entry contract at the 16-byte alignment it
// promises, within the forward error bound of a four-term sum, and bit for
// bit equal to each rounding model it is registered with. The lists are
// read as the build wrote them, so a new kernel is covered by its one
// registration. A kernel whose features this processor lacks is skipped,
// with the reason. The kernel list's own reading is checked here too.
#include "feature_gate.h"
#include "kernel_list.h"
#include "kernel_test_support.h"
#include "operand_generator.h"
#include "operand_sets.h"
#include "reference.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace {

namespace fs = std::filesystem;

// The kernels of the build's lists, each library by its full path.
std::vector<ListedKernel> Listed()
{
    std::vector<ListedKernel> kernels;
    for (const fs::path list : {MATMUL_KERNEL_LIST_PATH, MATMUL_PORTABLE_LIST_PATH}) {
        for (ListedKernel &k : ReadKernelList(list)) {
            k.library = (list.parent_path() / k.library).string();
            kernels.push_back(std::move(k));
        }
    }
    return kernels;
}

// The kernels that compute a product (not the null or calibration kernels).
std::vector<ListedKernel> ProductKernels()
{
    std::vector<ListedKernel> kernels;
    for (ListedKernel &k : Listed()) {
        if (k.product != "none") {
            kernels.push_back(std::move(k));
        }
    }
    return kernels;
}

std::vector<RoundingModel> ClaimedModels(const ListedKernel &k)
{
    std::vector<RoundingModel> models;
    for (const std::string &name : k.rounding) {
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
        // A first product of -2^-160 is no zero: added onto +0 it stays
        // negative and rounds to -0 in single precision, which the -0
        // products after it keep.
        OperandPair underflow{Filled(-0.0f), Filled(1.0f)};
        underflow.a.m[0][0] = -0x1p-80f;
        underflow.b.m[0][0] = 0x1p-80f;
        sets.push_back(underflow);
        // 1 + x*y with x*y = 2^-24 + 2^-60: rounded to double first it is
        // the midpoint 1 + 2^-24, which rounds to even, 1; rounded once (a
        // single-precision fused multiply-add) it is 1 + 2^-23.
        OperandPair midpoint{};
        midpoint.a.m[0][0] = 1.0f;
        midpoint.b.m[0][0] = 1.0f;
        midpoint.a.m[0][1] = 0x1p-24f + 0x1p-36f;
        midpoint.b.m[1][0] = 1.0f - 0x1p-12f + 0x1p-24f;
        sets.push_back(midpoint);
        for (const OperandPair &pair : ArithmeticOperands()) {
            sets.push_back(pair);
        }
    }
    return sets;
}

class KernelTest : public ::testing::TestWithParam<ListedKernel> {
protected:
    void SetUp() override
    {
        if (!feature::CheckFeatures(GetParam().mask)) {
            GTEST_SKIP() << GetParam().procedure << " needs features this processor or operating system lacks (mask "
                         << GetParam().mask << ")";
        }
        library_ = std::make_unique<KernelLibrary>(GetParam().library.c_str(), GetParam().procedure.c_str());
        ASSERT_NE(library_->entry(), nullptr);
    }
    KernelEntry entry() const { return library_->entry(); }
    // The kernel's factors, row-major: (a, b) for a*b, (b, a) for b*a.
    std::pair<const Matrix4 &, const Matrix4 &> Factors(const OperandPair &pair) const
    {
        if (GetParam().product == ProductName(Product::BA)) {
            return {pair.b, pair.a};
        }
        return {pair.a, pair.b};
    }

private:
    std::unique_ptr<KernelLibrary> library_;
};

std::string KernelName(const ::testing::TestParamInfo<ListedKernel> &info)
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

// The two reference kernels need no alignment at all, take no notice of
// the result area's earlier contents, and return what they always have:
// Mat_Mult 16, innerprod1 the result's address.
TEST(ReferenceKernels, NeedNoAlignmentAndKeepTheirReturnValues)
{
    std::mt19937 rng(19);
    const Matrix4 a = MixedOperand(rng, 8);
    const Matrix4 b = MixedOperand(rng, 8);
    const Matrix4 garbage = Filled(std::nanf(""));
    int found = 0;
    for (const ListedKernel &k : Listed()) {
        if (k.procedure != "Mat_Mult" && k.procedure != "innerprod1") {
            continue;
        }
        ++found;
        const KernelLibrary library(k.library.c_str(), k.procedure.c_str());
        ASSERT_NE(library.entry(), nullptr) << k.procedure;
        const Matrix4 aligned = RunGuarded(library.entry(), a, b, 0);
        for (std::size_t offset : {4u, 8u, 12u, 36u}) {
            EXPECT_TRUE(SameBits(RunGuarded(library.entry(), a, b, offset, &garbage), aligned))
                << k.procedure << ", offset " << offset;
        }
        Matrix4 r{};
        const Matrix4 id = Identity();
        EXPECT_EQ(library.entry()(&r, &id, &id),
                  k.procedure == "Mat_Mult" ? 16 : reinterpret_cast<std::intptr_t>(&r));
    }
    EXPECT_EQ(found, 2);
}

TEST(KernelList, ReadsTheColumnsAndMatchesALibraryByItsFile)
{
    const fs::path dir = fs::path(::testing::TempDir()) / "kernel_list_test";
    fs::remove_all(dir);
    fs::create_directories(dir / "elsewhere");
    for (const fs::path &file : {dir / "null.so", dir / "outerprod.so", dir / "cut.so", dir / "elsewhere/null.so"}) {
        std::ofstream(file) << "x";
    }
    const std::vector<ListedKernel> list = ParseKernelList("# library\tprocedure\tmask\tproduct\trounding\n"
                                                           "null.so\tnull_kernel\t0\tnone\t-\r\n"
                                                           "outerprod.so\tMat_Mult\t3072\ta*b\touterprod,innerprod\tmore\n"
                                                           "cut.so\tcut_kernel\t0\n");
    ASSERT_EQ(list.size(), 2u);
    EXPECT_TRUE(list[0].rounding.empty());
    EXPECT_EQ(list[1].mask, feature::kAVX2 | feature::kFMA);
    EXPECT_EQ(list[1].rounding, (std::vector<std::string>{"outerprod", "innerprod"}));
    EXPECT_EQ(list[1].role, "more");
    EXPECT_TRUE(RegisteredAsComputingNothing(list, dir, dir / "null.so", "null_kernel"));
    EXPECT_FALSE(RegisteredAsComputingNothing(list, dir, dir / "outerprod.so", "Mat_Mult"));
    // A file of the same name elsewhere is another kernel; a missing one is
    // none of the list's.
    EXPECT_FALSE(RegisteredAsComputingNothing(list, dir, dir / "elsewhere/null.so", "null_kernel"));
    EXPECT_FALSE(RegisteredAsComputingNothing(list, dir, dir / "missing.so", "null_kernel"));
    EXPECT_FALSE(RegisteredAsComputingNothing(list, dir, dir / "cut.so", "cut_kernel"));
    EXPECT_FALSE(RegisteredAsComputingNothing({}, dir, dir / "null.so", "null_kernel"));
    // A link to a registered library, as the bench makes, is that library.
    std::error_code error;
    fs::create_symlink(dir / "null.so", dir / "elsewhere/link.so", error);
    if (!error) {
        EXPECT_TRUE(RegisteredAsComputingNothing(list, dir, dir / "elsewhere/link.so", "null_kernel"));
    }
    fs::remove_all(dir);
}

} // namespace
