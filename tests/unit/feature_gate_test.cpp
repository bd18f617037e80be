#include "cpu_instructions.h"
#include "feature_gate.h"

#include <gtest/gtest.h>

namespace {

// A processor that has every feature of the table.
CpuFacts Everything()
{
    CpuFacts facts;
    facts.cpuid = true;
    facts.leaf1Ecx = 0xFFFFFFFFu;
    facts.leaf1Edx = 0xFFFFFFFFu;
    facts.maxExtLeaf = 0x80000008u;
    facts.ext1Edx = 0xFFFFFFFFu;
    return facts;
}

TEST(FeatureGate, EachBitNeedsItsCpuidBit)
{
    struct Row {
        FeatureMask bit;
        std::uint32_t CpuFacts::*word;
        int cpuidBit;
    };
    const Row rows[] = {
        {feature::kMmx, &CpuFacts::leaf1Edx, 23},  {feature::kSse, &CpuFacts::leaf1Edx, 25},
        {feature::kSse2, &CpuFacts::leaf1Edx, 26}, {feature::kSse3, &CpuFacts::leaf1Ecx, 0},
        {feature::kCmov, &CpuFacts::leaf1Edx, 15}, {feature::kApic, &CpuFacts::leaf1Edx, 9},
        {feature::kHtt, &CpuFacts::leaf1Edx, 28},  {feature::kTsc, &CpuFacts::leaf1Edx, 4},
        {feature::k3dNow, &CpuFacts::ext1Edx, 31}, {feature::k3dNowExt, &CpuFacts::ext1Edx, 30},
    };
    FeatureMask all = 0;
    for (const Row &row : rows) {
        all |= row.bit;
        CpuFacts facts = Everything();
        EXPECT_EQ(FeaturesPresent(row.bit, facts), 1);
        facts.*row.word &= ~(1u << row.cpuidBit);
        EXPECT_EQ(FeaturesPresent(row.bit, facts), 0) << "mask bit " << row.bit;
        EXPECT_EQ(FeaturesPresent(all, facts), 0);
        // Other features do not depend on that CPUID bit.
        EXPECT_EQ(FeaturesPresent(all & ~row.bit, facts), 1) << "mask bit " << row.bit;
    }
    EXPECT_EQ(FeaturesPresent(all, Everything()), 1);
    EXPECT_EQ(all, 0xF003Fu);
}

TEST(FeatureGate, UnknownBitsAreIgnoredAndNoCpuidMeansNothing)
{
    CpuFacts none;
    none.cpuid = true;
    EXPECT_EQ(FeaturesPresent(0, none), 1);
    EXPECT_EQ(FeaturesPresent(0xFFF0FFC0u, none), 1);
    EXPECT_EQ(FeaturesPresent(feature::kMmx, none), 0);

    CpuFacts noCpuid = Everything();
    noCpuid.cpuid = false;
    EXPECT_EQ(FeaturesPresent(0, noCpuid), 0);
    EXPECT_EQ(FeaturesPresent(feature::kSse, noCpuid), 0);
}

TEST(FeatureGate, MissingExtendedLeafMeansNo3DNow)
{
    CpuFacts facts = Everything();
    facts.maxExtLeaf = 0x80000000u; // the leaf with the 3DNow! bits does not exist
    EXPECT_EQ(FeaturesPresent(feature::k3dNow, facts), 0);
    EXPECT_EQ(FeaturesPresent(feature::k3dNowExt, facts), 0);
    EXPECT_EQ(FeaturesPresent(feature::kSse2, facts), 1);
    facts.maxExtLeaf = 0x00000001u; // an unrelated value from a processor without extended leaves
    EXPECT_EQ(FeaturesPresent(feature::k3dNow, facts), 0);
}

#if defined(MATMUL_CPU_X86) && (defined(__GNUC__) || defined(__clang__))
TEST(FeatureGate, AgreesWithTheProcessorOnThisMachine)
{
    __builtin_cpu_init();
    EXPECT_EQ(CheckFeatures(0), 1);
    EXPECT_EQ(CheckFeatures(feature::kMmx), __builtin_cpu_supports("mmx") ? 1 : 0);
    EXPECT_EQ(CheckFeatures(feature::kSse), __builtin_cpu_supports("sse") ? 1 : 0);
    EXPECT_EQ(CheckFeatures(feature::kSse2), __builtin_cpu_supports("sse2") ? 1 : 0);
    EXPECT_EQ(CheckFeatures(feature::kSse3), __builtin_cpu_supports("sse3") ? 1 : 0);
    EXPECT_EQ(CheckFeatures(feature::kCmov), __builtin_cpu_supports("cmov") ? 1 : 0);
    EXPECT_EQ(CheckFeatures(feature::kSse | feature::kSse2), __builtin_cpu_supports("sse2") ? 1 : 0);
    EXPECT_TRUE(ReadCpuFacts().cpuid);
}
#endif

} // namespace
