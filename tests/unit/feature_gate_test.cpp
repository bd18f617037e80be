#include "cpu_instructions.h"
#include "feature_gate.h"

#include <gtest/gtest.h>

namespace {

// A processor that has every feature of the table.
CpuFacts Everything()
{
    CpuFacts facts;
    facts.cpuid = true;
    facts.maxLeaf = 0x1Fu;
    facts.leaf1Ecx = 0xFFFFFFFFu;
    facts.leaf1Edx = 0xFFFFFFFFu;
    facts.leaf7Ebx = 0xFFFFFFFFu;
    facts.maxExtLeaf = 0x80000008u;
    facts.ext1Edx = 0xFFFFFFFFu;
    facts.xcr0 = 0xE7u; // x87, XMM, YMM, opmask, ZMM
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
        {feature::kSsse3, &CpuFacts::leaf1Ecx, 9}, {feature::kSse41, &CpuFacts::leaf1Ecx, 19},
        {feature::kSse42, &CpuFacts::leaf1Ecx, 20}, {feature::kAvx, &CpuFacts::leaf1Ecx, 28},
        {feature::kFma, &CpuFacts::leaf1Ecx, 12}, {feature::kAvx2, &CpuFacts::leaf7Ebx, 5},
        {feature::kAvx512f, &CpuFacts::leaf7Ebx, 16},
    };
    FeatureMask all = 0;
    for (const Row &row : rows) {
        all |= row.bit;
        CpuFacts facts = Everything();
        EXPECT_TRUE(FeaturesPresent(row.bit, facts));
        facts.*row.word &= ~(1u << row.cpuidBit);
        EXPECT_FALSE(FeaturesPresent(row.bit, facts)) << "mask bit " << row.bit;
        EXPECT_FALSE(FeaturesPresent(all, facts));
        // Other features do not depend on that CPUID bit.
        EXPECT_TRUE(FeaturesPresent(all & ~row.bit, facts)) << "mask bit " << row.bit;
    }
    EXPECT_TRUE(FeaturesPresent(all, Everything()));
    EXPECT_EQ(all, 0xF1FFFu);
}

TEST(FeatureGate, UnknownBitsAreIgnoredAndNoCpuidMeansNothing)
{
    CpuFacts none;
    none.cpuid = true;
    EXPECT_TRUE(FeaturesPresent(0, none));
    EXPECT_TRUE(FeaturesPresent(0xFFF0E000u, none));
    EXPECT_FALSE(FeaturesPresent(feature::kMmx, none));

    CpuFacts noCpuid = Everything();
    noCpuid.cpuid = false;
    EXPECT_FALSE(FeaturesPresent(0, noCpuid));
    EXPECT_FALSE(FeaturesPresent(feature::kSse, noCpuid));
}

TEST(FeatureGate, MissingExtendedLeafMeansNo3DNow)
{
    CpuFacts facts = Everything();
    facts.maxExtLeaf = 0x80000000u; // the leaf with the 3DNow! bits does not exist
    EXPECT_FALSE(FeaturesPresent(feature::k3dNow, facts));
    EXPECT_FALSE(FeaturesPresent(feature::k3dNowExt, facts));
    EXPECT_TRUE(FeaturesPresent(feature::kSse2, facts));
    facts.maxExtLeaf = 0x00000001u; // an unrelated value from a processor without extended leaves
    EXPECT_FALSE(FeaturesPresent(feature::k3dNow, facts));
}

TEST(FeatureGate, WideRegistersNeedTheOperatingSystemToSaveThem)
{
    const FeatureMask avxFamily[] = {feature::kAvx, feature::kFma, feature::kAvx2};
    CpuFacts facts = Everything();
    facts.xcr0 = 0x7; // x87, XMM and YMM: enough for AVX, not for AVX-512
    for (FeatureMask bit : avxFamily) {
        EXPECT_TRUE(FeaturesPresent(bit, facts)) << bit;
    }
    EXPECT_FALSE(FeaturesPresent(feature::kAvx512f, facts));
    for (std::uint64_t missing : {0x20u, 0x40u, 0x80u}) {
        facts.xcr0 = 0xE7u & ~missing;
        EXPECT_FALSE(FeaturesPresent(feature::kAvx512f, facts)) << "XCR0 without bit " << missing;
    }
    facts.xcr0 = 0x3; // YMM state not saved
    for (FeatureMask bit : avxFamily) {
        EXPECT_FALSE(FeaturesPresent(bit, facts)) << bit;
    }
    facts = Everything();
    facts.xcr0 = 0x5; // XMM state not saved
    EXPECT_FALSE(FeaturesPresent(feature::kAvx, facts));
    // Without OSXSAVE, XCR0 means nothing; the older features do not care.
    facts = Everything();
    facts.leaf1Ecx &= ~os_state::kOsxsave;
    for (FeatureMask bit : avxFamily) {
        EXPECT_FALSE(FeaturesPresent(bit, facts)) << bit;
    }
    EXPECT_FALSE(FeaturesPresent(feature::kAvx512f, facts));
    EXPECT_TRUE(FeaturesPresent(feature::kSse42 | feature::kSsse3 | feature::kSse41, facts));
}

TEST(FeatureGate, LeafSevenOnlyWhenLeafZeroReportsIt)
{
    CpuFacts facts = Everything();
    facts.maxLeaf = 6;
    EXPECT_FALSE(FeaturesPresent(feature::kAvx2, facts));
    EXPECT_FALSE(FeaturesPresent(feature::kAvx512f, facts));
    EXPECT_TRUE(FeaturesPresent(feature::kAvx | feature::kFma, facts));
    facts.maxLeaf = 7;
    EXPECT_TRUE(FeaturesPresent(feature::kAvx2 | feature::kAvx512f, facts));
}

#if defined(MATMUL_CPU_X86) && (defined(__GNUC__) || defined(__clang__))
TEST(FeatureGate, AgreesWithTheProcessorOnThisMachine)
{
    __builtin_cpu_init();
    EXPECT_TRUE(CheckFeatures(0));
    EXPECT_EQ(CheckFeatures(feature::kMmx), __builtin_cpu_supports("mmx") != 0);
    EXPECT_EQ(CheckFeatures(feature::kSse), __builtin_cpu_supports("sse") != 0);
    EXPECT_EQ(CheckFeatures(feature::kSse2), __builtin_cpu_supports("sse2") != 0);
    EXPECT_EQ(CheckFeatures(feature::kSse3), __builtin_cpu_supports("sse3") != 0);
    EXPECT_EQ(CheckFeatures(feature::kCmov), __builtin_cpu_supports("cmov") != 0);
    EXPECT_EQ(CheckFeatures(feature::kSse | feature::kSse2), __builtin_cpu_supports("sse2") != 0);
    EXPECT_EQ(CheckFeatures(feature::kSsse3), __builtin_cpu_supports("ssse3") != 0);
    EXPECT_EQ(CheckFeatures(feature::kSse41), __builtin_cpu_supports("sse4.1") != 0);
    EXPECT_EQ(CheckFeatures(feature::kSse42), __builtin_cpu_supports("sse4.2") != 0);
    EXPECT_EQ(CheckFeatures(feature::kAvx), __builtin_cpu_supports("avx") != 0);
    EXPECT_EQ(CheckFeatures(feature::kFma), __builtin_cpu_supports("fma") != 0);
    EXPECT_EQ(CheckFeatures(feature::kAvx2), __builtin_cpu_supports("avx2") != 0);
    EXPECT_EQ(CheckFeatures(feature::kAvx512f), __builtin_cpu_supports("avx512f") != 0);
    EXPECT_TRUE(ReadCpuFacts().cpuid);
}
#elif defined(MATMUL_CPU_AARCH64)
TEST(FeatureGate, OnAArch64EveryKnownFeatureIsAbsentAndOtherBitsAreIgnored)
{
    FeatureMask known = 0;
    for (const feature::NamedFeature &f : feature::kNamed) {
        known |= f.bit;
    }
    for (int bit = 0; bit < 32; ++bit) {
        const FeatureMask mask = FeatureMask{1} << bit;
        EXPECT_EQ(CheckFeatures(mask), (mask & known) == 0) << "bit " << bit;
    }
    EXPECT_TRUE(CheckFeatures(0));
}
#endif

} // namespace
