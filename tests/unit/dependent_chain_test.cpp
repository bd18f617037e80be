// The chain check: a kernel computing either product passes whatever the
// count, and the faults that could land on the right matrix by the powers of
// the fixed operand repeating are caught anyway.
#include "dependent_chain.h"
#include "kernel_registry.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

using latency::Operand;
using latency::Product;

float Element(const Matrix4 *x, const Matrix4 *y, int i, int j)
{
    float sum = 0.0f;
    for (int c = 0; c < 4; ++c) {
        sum += x->m[i][c] * y->m[c][j];
    }
    return sum;
}

intptr_t KERNEL_CALL TimesAB(Matrix4 *r, const Matrix4 *a, const Matrix4 *b)
{
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            r->m[i][j] = Element(a, b, i, j);
        }
    }
    return 0;
}

intptr_t KERNEL_CALL TimesBA(Matrix4 *r, const Matrix4 *a, const Matrix4 *b)
{
    return TimesAB(r, b, a);
}

intptr_t KERNEL_CALL Transposed(Matrix4 *r, const Matrix4 *a, const Matrix4 *b)
{
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            r->m[j][i] = Element(a, b, i, j);
        }
    }
    return 0;
}

intptr_t KERNEL_CALL ReturnsA(Matrix4 *r, const Matrix4 *a, const Matrix4 *)
{
    *r = *a;
    return 0;
}

intptr_t KERNEL_CALL IgnoresB(Matrix4 *r, const Matrix4 *a, const Matrix4 *)
{
    return TimesAB(r, a, a);
}

// Right for its first 20 calls, then returns its first operand.
int g_calls = 0;
intptr_t KERNEL_CALL TiresLater(Matrix4 *r, const Matrix4 *a, const Matrix4 *b)
{
    return ++g_calls <= 20 ? TimesAB(r, a, b) : ReturnsA(r, a, b);
}

// Right for its first 16 calls, then writes nothing.
intptr_t KERNEL_CALL StopsLater(Matrix4 *r, const Matrix4 *a, const Matrix4 *b)
{
    return ++g_calls <= 16 ? TimesAB(r, a, b) : 0;
}

TEST(DependentChain, EitherProductPassesThroughEitherOperand)
{
    for (const Operand through : {Operand::A, Operand::B}) {
        for (const auto &[entry, product] : {std::pair{&TimesAB, Product::AB}, std::pair{&TimesBA, Product::BA}}) {
            const latency::ChainCheck first = latency::CheckFirstCalls(entry, through, 16, std::nullopt);
            EXPECT_TRUE(first.Correct()) << first.detail;
            EXPECT_EQ(first.product, product);
            // Counts that end on every power of the fixed operand, and one
            // that ends where the chain started.
            for (const std::uint32_t count : {1u, 2u, 7u, 8u, 1001u}) {
                const latency::ChainTiming timing = latency::TimeChain(entry, through, count);
                EXPECT_TRUE(latency::CheckLast(timing, count, through, product).Correct()) << count;
            }
        }
    }
    // The same kernel must compute the same product through both operands.
    EXPECT_FALSE(latency::CheckFirstCalls(&TimesBA, Operand::B, 16, Product::AB).Correct());
}

TEST(DependentChain, WrongKernelsAreCaughtEvenWhereTheirLastMatrixIsRight)
{
    struct Case {
        KernelEntry entry;
        const char *says;
    };
    for (const Case &c : {Case{&Transposed, "transposed"}, Case{&ReturnsA, "operand returned unchanged"},
                          Case{&IgnoresB, "neither a*b nor b*a"}}) {
        for (const Operand through : {Operand::A, Operand::B}) {
            const latency::ChainCheck check = latency::CheckFirstCalls(c.entry, through, 16, std::nullopt);
            EXPECT_NE(check.detail.find(c.says), std::string::npos) << check.detail;
        }
    }
    // A kernel that writes nothing after the calls checked one by one leaves
    // the start matrix where a chain of a multiple of 8 calls ends: the
    // result area before the last tells.
    g_calls = 0;
    EXPECT_TRUE(latency::CheckFirstCalls(&StopsLater, Operand::A, 16, std::nullopt).Correct());
    const latency::ChainTiming idle = latency::TimeChain(&StopsLater, Operand::A, 1000);
    EXPECT_FALSE(latency::CheckLast(idle, 1000, Operand::A, Product::AB).Correct());
    g_calls = 0;
    const latency::ChainTiming late = latency::TimeChain(&TiresLater, Operand::A, 1001);
    EXPECT_FALSE(latency::CheckLast(late, 1001, Operand::A, Product::AB).Correct());
}

TEST(KernelRegistry, OnlyAKernelListedAsComputingNothingIsNotJudged)
{
    const char list[] = "# library\tprocedure\tmask\tproduct\trounding\n"
                        "null.so\tnull_kernel\t0\tnone\t-\r\n"
                        "outerprod.so\tMat_Mult\t0\ta*b\touterprod\tmore\n"
                        "cut.so\tcut_kernel\t0\n";
    EXPECT_TRUE(RegisteredAsComputingNothing(list, "null.so", "null_kernel"));
    EXPECT_FALSE(RegisteredAsComputingNothing(list, "outerprod.so", "Mat_Mult"));
    EXPECT_FALSE(RegisteredAsComputingNothing(list, "my_null.so", "null_kernel"));
    EXPECT_FALSE(RegisteredAsComputingNothing(list, "cut.so", "cut_kernel"));
    EXPECT_FALSE(RegisteredAsComputingNothing("", "null.so", "null_kernel"));
}

} // namespace
