// The chain check: a kernel computing either product stays exact whatever
// the count and the draws, and one that stops writing or skips calls in the
// middle of the timed chain is caught; the floating-point controls a kernel
// changes are put back.
#include "cpu_instructions.h"
#include "dependent_chain.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

using latency::Operand;

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

// Right until its g_stopAfter-th call, then writes nothing.
int g_calls = 0;
int g_stopAfter = 0;
intptr_t KERNEL_CALL StopsWriting(Matrix4 *r, const Matrix4 *a, const Matrix4 *b)
{
    return ++g_calls <= g_stopAfter ? TimesAB(r, a, b) : 0;
}

// Right, but writes nothing in g_skipped calls from its 101st: in the
// middle of a timed chain of 1000 calls through a.
int g_skipped = 0;
intptr_t KERNEL_CALL SkipsCalls(Matrix4 *r, const Matrix4 *a, const Matrix4 *b)
{
    ++g_calls;
    return g_calls > 100 && g_calls <= 100 + g_skipped ? 0 : TimesAB(r, a, b);
}

// Right, but leaves the precision exception unmasked (x86) or rounding
// towards zero (AArch64).
intptr_t KERNEL_CALL ChangesControls(Matrix4 *r, const Matrix4 *a, const Matrix4 *b)
{
#if defined(MATMUL_CPU_X86)
    cpu::WriteMxcsr(cpu::ReadMxcsr() & ~0x1000u);
#elif defined(MATMUL_CPU_AARCH64)
    cpu::WriteFpcr(cpu::ReadFpcr() | (3u << 22));
#endif
    return TimesAB(r, a, b);
}

constexpr std::uint64_t kSeed = 0x5EED;

TEST(DependentChain, EitherProductStaysExactThroughEitherOperand)
{
    for (const Operand through : {Operand::A, Operand::B}) {
        for (const auto &[entry, product] : {std::pair{&TimesAB, Product::AB}, std::pair{&TimesBA, Product::BA}}) {
            // Odd and even counts, short and long.
            for (const std::uint32_t count : {1u, 2u, 7u, 8u, 1001u}) {
                const latency::ChainOutcome run = latency::RunChain(entry, through, count, kSeed + count, true, {});
                EXPECT_TRUE(run.check.Exact()) << run.check.detail;
                EXPECT_EQ(run.check.product, product);
            }
        }
    }
    // The same kernel must compute the same product through both operands.
    latency::ChainPoint start = latency::ChainStart(kSeed);
    EXPECT_FALSE(latency::CheckCalls(&TimesBA, Operand::B, start, 16, Product::AB).Exact());
}

TEST(DependentChain, WrongKernelsAreCaughtAtTheFirstCalls)
{
    struct Case {
        KernelEntry entry;
        const char *says;
    };
    for (const Case &c : {Case{&Transposed, "transposed"}, Case{&ReturnsA, "operand returned unchanged"},
                          Case{&IgnoresB, "neither a*b nor b*a"}}) {
        for (const Operand through : {Operand::A, Operand::B}) {
            latency::ChainPoint start = latency::ChainStart(kSeed);
            const latency::ChainCheck check = latency::CheckCalls(c.entry, through, start, 16, std::nullopt);
            EXPECT_NE(check.detail.find(c.says), std::string::npos) << check.detail;
        }
    }
}

TEST(DependentChain, AKernelThatStopsOrSkipsMidChainIsCaught)
{
    // Stopping at any call of the timed chain, whatever the count and the
    // draws: the calls checked after it find nothing written.
    for (const int stop : {20, 500, 1015}) {
        for (const std::uint32_t count : {1000u, 1008u}) {
            g_calls = 0;
            g_stopAfter = stop;
            const latency::ChainOutcome run =
                latency::RunChain(&StopsWriting, Operand::A, count, kSeed + count, true, {});
            EXPECT_FALSE(run.check.Exact()) << stop << " " << count;
        }
    }
    // Skipping one call or two, for every seed; eight, for these seeds (a
    // seed in 384 or so lets eight go by).
    for (const int skipped : {1, 2, 8}) {
        for (std::uint64_t seed = 1; seed <= 4; ++seed) {
            g_calls = 0;
            g_skipped = skipped;
            const latency::ChainOutcome run = latency::RunChain(&SkipsCalls, Operand::A, 1000, seed, true, {});
            EXPECT_NE(run.check.detail.find("the chain's last"), std::string::npos) << skipped << " " << seed;
        }
    }
}

TEST(DependentChain, TheFloatingPointControlsAreRestoredAfterEveryCall)
{
    const cpu::FloatingPointControls before = cpu::SaveFloatingPointControls();
    const latency::ChainOutcome run = latency::RunChain(&ChangesControls, Operand::A, 100, kSeed, true, {});
    EXPECT_TRUE(run.check.Exact()) << run.check.detail;
    const cpu::FloatingPointControls after = cpu::SaveFloatingPointControls();
#if defined(MATMUL_CPU_X86)
    EXPECT_EQ(after.mxcsr, before.mxcsr);
    EXPECT_EQ(after.x87, before.x87);
#elif defined(MATMUL_CPU_AARCH64)
    EXPECT_EQ(after.fpcr, before.fpcr);
#endif
}

} // namespace
